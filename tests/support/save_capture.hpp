// Runs the saving steps the way a conversion does (writability check first)
// and returns the lines they reported.
#pragma once

#include <string>

#include "output/save_outputs.hpp"
#include "support/recording_reporter.hpp"

namespace vexil::test {

inline std::string save_and_capture(const output::SaveInputs& in, const Palette& palette = Palette::plain()) {
  output::check_outputs_writable(in);
  RecordingJob rec(palette);
  output::save_outputs(in, rec.job);
  return rec.reporter.text();
}

}  // namespace vexil::test
