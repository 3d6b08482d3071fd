// Writes a metadata dictionary as Python's json.dump(obj, f, indent=2) does:
// insertion order, ASCII only (\uXXXX escapes, surrogate pairs), shortest
// float repr with ".0", bare NaN/Infinity/-Infinity, no trailing newline.
// The text is streamed; nothing is built in memory first. Write errors are
// left in the stream's state for the caller to check (a full disk shows there).
// Bytes that are not UTF-8 are written as \ufffd, so the text is always JSON.
#pragma once

#include <ostream>
#include <string>

#include "vexil/metadata.hpp"

namespace vexil::text {

void write_json(std::ostream& out, const Metadata& value);
std::string to_json_text(const Metadata& value);

}  // namespace vexil::text
