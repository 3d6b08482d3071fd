// Runs the saving steps the way a conversion does (writability check first)
// and returns what they printed; the capture is closed on failure too.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "output/save_outputs.hpp"

namespace vexil::test {

inline std::string save_and_capture(const convert::internal::SaveInputs& in) {
  convert::internal::check_outputs_writable(in);
  testing::internal::CaptureStdout();
  try {
    convert::internal::save_outputs(in);
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

}  // namespace vexil::test
