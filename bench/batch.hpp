// Many scenes at once: the cubes converted by GNU parallel with `jobs`
// conversions at a time and one thread each (jobs x threads = the CPUs
// used), against the same conversions run one after another with the
// converter's default threads. When the converter has no --threads option,
// each parallel job is pinned to one CPU with taskset instead.
#pragma once

#include <string>
#include <vector>

#include "cubes.hpp"
#include "report.hpp"

namespace bench {

struct BatchSetup {
  std::string vexil;
  bool threads_option = false;
  int jobs = 2;
  std::string scratch;  // outputs go to scratch/parallel/<cube> and scratch/sequential/<cube>
};

struct BatchOutcome {
  std::vector<BatchRow> rows;  // parallel first, sequential last
  std::string note;
  // data.mat of each cube from each mode, in cube order.
  std::vector<std::string> parallel_mats, sequential_mats;
};

// Throws std::runtime_error when a conversion fails or GNU parallel is missing.
BatchOutcome run_batch(const BatchSetup& setup, const std::vector<Cube>& cubes);

}  // namespace bench
