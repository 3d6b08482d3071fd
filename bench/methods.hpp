// For whoever tunes the writer's compression: every deflate method and
// level this build has, one thread, on the first `sample_bytes` of a cube's
// data.mat payload, sized against zlib level 6 on the same bytes; then the
// writer's own method alone on the whole payload per thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cubes.hpp"

namespace bench {

// Printable lines, one per measurement.
std::vector<std::string> compare_deflate_methods(const MappedCube& cube, std::uint64_t sample_bytes);

}  // namespace bench
