// The shape of the variable in a MAT-file Level 5 written as one compressed
// element: whether data.mat holds the cube in the order the baselines assume.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Dimensions of the first variable; nullopt when the file is not a Level 5
// file starting with a compressed miMATRIX (e.g. MAT-file 7.3).
std::optional<std::vector<std::int64_t>> mat5_dims(const std::string& path);

}  // namespace bench
