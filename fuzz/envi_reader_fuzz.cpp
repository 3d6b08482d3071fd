// The ENVI loader end to end: header and data file written beside each other,
// then load_envi on the header. The first two bytes give the header length
// (low 15 bits); the rest after the header is the data file. Every element
// of the returned cube is read so a view reaching past the mapping shows up
// under ASan. With the top bit of the length set, the data file is cut to
// half its size before the elements are read, as if it shrank during a run:
// reading must not crash, and a damaged mapping must say so.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/envi/envi_format.hpp"
#include "fuzz_files.hpp"
#include "io/mapped_file.hpp"
#include "output/column_gather.hpp"
#include "vexil/errors.hpp"

using vexil::formats::envi::load_envi;

namespace {

const std::string& work_dir() {
  static const std::string dir = vexil::fuzz::make_scratch_dir("envi-fuzz");
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t hdr_len = static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1] & 0x7F) << 8);
  const bool shrink = data[1] & 0x80;
  data += 2;
  size -= 2;
  if (hdr_len > size) hdr_len = size;
  const std::string hdr = work_dir() + "/cube.hdr";
  const std::string img = work_dir() + "/cube.img";
  vexil::fuzz::put_file(hdr, data, hdr_len);
  vexil::fuzz::put_file(img, data + hdr_len, size - hdr_len);

  try {
    const auto result = load_envi(hdr);
    if (shrink && truncate(img.c_str(), static_cast<off_t>((size - hdr_len) / 2)) != 0) std::abort();
    volatile unsigned sink = 0;
    const std::size_t item = result.data.itemsize();
    for_each_element(result.data, [&](const std::byte* e) {
      for (std::size_t i = 0; i < item; ++i) sink = sink + static_cast<unsigned>(e[i]);
    });
    // The writer's gather reads the file, not the map: whatever the view,
    // it stays inside it.
    const vexil::output::ColumnGather gather(result.data);
    std::vector<std::byte> column_major(static_cast<std::size_t>(gather.size_bytes()));
    gather.read(0, column_major.size(), column_major.data());
    (void)result.meta.dump();  // throws (and so fails the run) on text that is not UTF-8
    try {
      vexil::io::check_mapping_intact(result.data.keep_alive());
    } catch (const vexil::ReadError& e) {
      if (!shrink || !*e.what()) std::abort();
    }
  } catch (const vexil::BadInputError& e) {
    if (!*e.what()) std::abort();
  } catch (const vexil::MissingKeyError& e) {
    if (!*e.what()) std::abort();
  } catch (const vexil::NotFoundError& e) {
    if (!*e.what()) std::abort();
  }
  return 0;
}
