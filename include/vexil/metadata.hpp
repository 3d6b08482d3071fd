// vexil/metadata.hpp — the metadata dictionary of an image or label map.
//
// An insertion-ordered JSON value (re-assigning a key keeps its place): what
// metadata.json holds under "image" and "ground_truth", with the file's own
// fields under their own names and the library's additions under names that
// start with an underscore ("_source_format", "_source_file", ...).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vexil {

using Metadata = nlohmann::ordered_json;

// The JSON text of a value exactly as metadata.json is written: indent 2,
// keys in order, ASCII only (\uXXXX escapes), shortest round-trip floats with
// ".0" kept, bare NaN/Infinity, no trailing newline. Python's json.loads
// reads it back to the same values.
std::string metadata_json_text(const Metadata& value);

}  // namespace vexil
