// The MAT-file path of the ground-truth loader on arbitrary bytes. Any error
// it raises must be one of ours with a message; every element of the array
// it returns is read so an extent larger than the data shows up under ASan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "formats/mat/mat_format.hpp"
#include "fuzz_files.hpp"

using vexil::formats::mat::read_label_variable;

namespace {

const std::string& mat_path() {
  static const std::string path = vexil::fuzz::make_scratch_dir("gt-mat-fuzz") + "/gt.mat";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexil::fuzz::put_file(mat_path(), data, size);

  try {
    std::string key;
    const vexil::NDArray a = read_label_variable(mat_path(), key);
    volatile unsigned sink = 0;
    const std::size_t item = a.itemsize();
    for_each_element(a, [&](const std::byte* e) {
      for (std::size_t i = 0; i < item; ++i) sink = sink + static_cast<unsigned>(e[i]);
    });
  } catch (const std::runtime_error& e) {
    if (!*e.what()) std::abort();
  }
  return 0;
}
