// The metadata dictionary: insertion-ordered, re-assigning a key keeps its place.
#pragma once

#include <nlohmann/json.hpp>

namespace vexil {

using Metadata = nlohmann::ordered_json;

}  // namespace vexil
