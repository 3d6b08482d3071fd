// A small BMP decoder for ground-truth images. It covers every variant that
// common editors write, including the 108- and 124-byte (V4/V5) info headers
// and 32-bit images with an alpha mask, which GDAL 3.6 cannot open.
//
// The arrays it gives (the common readers' conventions):
//   1-bit with exactly a black/white palette  -> (H, W) bool
//   1/4/8-bit palette (also RLE4/RLE8)        -> (H, W) uint8 palette indices
//   16-bit (5-5-5, 5-6-5 or other bitfields)  -> (H, W, 3) uint8, floor(v*255/max)
//   24-bit, 32-bit without alpha              -> (H, W, 3) uint8 RGB
//   16/32-bit bitfields with an alpha mask    -> (H, W, 4) uint8 RGBA
// Info headers: 12 (OS/2 core), 40, 52, 56, 64, 108 and 124 bytes. Every size
// and offset is checked against the data first; anything malformed throws
// ReadError naming `name`.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vexil/array.hpp"

namespace vexil::formats::image {

// True when the bytes start with the BMP signature "BM".
bool is_bmp(std::span<const std::uint8_t> bytes);

// Decodes a whole BMP file held in memory.
NDArray decode_bmp(std::span<const std::uint8_t> bytes, const std::string& name);

}  // namespace vexil::formats::image
