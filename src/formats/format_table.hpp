// The table of input formats. Each format folder defines one entry; the
// extension lookup, the "Supported:" list, the ground-truth dispatch and the
// missing-library error all read this table and nothing else.
#pragma once

#include <span>
#include <string_view>

#include "formats/reader.hpp"

namespace vexil::formats {

struct Format {
  std::string_view key;                                // "envi"; shown upper-cased as the detected format
  std::span<const std::string_view> image_extensions;  // lower case, with the dot
  std::span<const std::string_view> label_extensions;
  std::string_view library;  // reader library it needs ("gdal", "hdf5"), empty when built in
  ImageReader read_image;    // null: not read as an image
  LabelReader read_labels;   // null: not read as a label map
  // Left out of the "Supported:" list of the unrecognised-extension error,
  // which names the formats an image was always read from.
  bool unlisted = false;
};

// Every format, in a fixed order.
std::span<const Format* const> all_formats();

// The format whose image (label) extensions hold `ext` (lower case, with its
// dot); null when none does.
const Format* format_for_image_extension(std::string_view ext);
const Format* format_for_label_extension(std::string_view ext);
const Format* format_by_key(std::string_view key);

}  // namespace vexil::formats
