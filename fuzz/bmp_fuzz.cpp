// The BMP decoder of ground-truth images on arbitrary bytes: it may only
// return an array whose every element can be read, or throw ReadError (or
// BadInputError for an image larger than memory) with a message. Lying sizes (dimensions, palettes, offsets) must never
// allocate what they claim.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "formats/image/bmp_decoder.hpp"
#include "vexil/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const vexil::NDArray a = vexil::formats::image::decode_bmp(std::span<const std::uint8_t>(data, size), "fuzz.bmp");
    volatile unsigned sink = 0;
    const std::size_t item = a.itemsize();
    for_each_element(a, [&](const std::byte* e) {
      for (std::size_t i = 0; i < item; ++i) sink = sink + static_cast<unsigned>(e[i]);
    });
  } catch (const vexil::ReadError& e) {
    if (!*e.what()) std::abort();
  } catch (const vexil::BadInputError& e) {  // larger than this machine's memory
    if (!*e.what()) std::abort();
  }
  return 0;
}
