// Converts vexil's bundled sample (an ENVI cube and its PNG label map) through
// the public API, printing the lines the conversion reports:
//   convert_sample OUT_DIR [SAMPLE_DIR]
// Exits with 0 when data.mat, gt.mat and metadata.json are written, 1 when the
// conversion fails (the error on standard error), 2 on a wrong command line.
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include <vexil/vexil.hpp>

#ifndef VEXIL_SAMPLE_DIR
#define VEXIL_SAMPLE_DIR "data/sample"
#endif

namespace {

// Writes every line of the conversion to standard output, as the vexil
// program does; progress is left out.
class PrintingReporter final : public vexil::Reporter {
 public:
  void line(std::string_view text) override { std::cout << text << '\n' << std::flush; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: convert_sample OUT_DIR [SAMPLE_DIR]\n";
    return 2;
  }
  const std::string sample_dir = argc == 3 ? argv[2] : VEXIL_SAMPLE_DIR;

  vexil::ConversionRequest request;
  request.image = sample_dir + "/indian_sample.hdr";
  request.ground_truth = sample_dir + "/indian_sample_gt.png";
  request.out_dir = argv[1];

  PrintingReporter reporter;
  try {
    const vexil::ConversionResult result = vexil::convert(request, reporter);
    std::cout << "\nvexil " << VEXIL_VERSION_STRING << " wrote:\n";
    for (const vexil::WrittenFile& file : result.files)
      std::cout << "  " << file.path << " (" << file.format << ", " << file.bytes << " bytes)\n";
    return 0;
  } catch (const vexil::Error& e) {
    std::cerr << "convert_sample: error: " << e.what() << '\n';
  } catch (const std::exception& e) {
    std::cerr << "convert_sample: " << e.what() << '\n';
  }
  return 1;
}
