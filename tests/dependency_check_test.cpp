#include <gtest/gtest.h>

#include <string>

#include "core/errors.hpp"
#include "display/display.hpp"
#include "input/dependency_check.hpp"

using namespace vexil::convert::internal;
namespace display = vexil::utils::display;

namespace {

struct Outcome {
  int status = -1;  // -1: returned
  std::string out;
  std::string err;
};

Outcome check(const std::string& name) {
  Outcome o;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    check_dep(name);
  } catch (const vexil::SystemExit& e) {
    o.status = e.status;
  }
  o.err = testing::internal::GetCapturedStderr();
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

class DependencyCheck : public testing::Test {
 protected:
  void SetUp() override { display::set_colours_enabled(false); }
  void TearDown() override {
    set_dep_missing_for_testing("gdal", false);
    set_dep_missing_for_testing("hdf5", false);
    set_dep_missing_for_testing("envi", false);
  }
};

}  // namespace

TEST_F(DependencyCheck, BuiltInReadersPassSilently) {
  EXPECT_TRUE(dep_available("envi"));
#ifdef VEXIL_HAVE_GDAL
  EXPECT_TRUE(dep_available("gdal"));
#else
  EXPECT_FALSE(dep_available("gdal"));
#endif
#ifdef VEXIL_HAVE_HDF5
  EXPECT_TRUE(dep_available("hdf5"));
#else
  EXPECT_FALSE(dep_available("hdf5"));
#endif
  for (const char* name : {"envi", "gdal", "hdf5"}) {
    if (!dep_available(name)) continue;
    Outcome o = check(name);
    EXPECT_EQ(o.status, -1) << name;
    EXPECT_EQ(o.out + o.err, "") << name;
  }
}

TEST_F(DependencyCheck, MissingReaderPrintsTheHintAndExitsOne) {
  set_dep_missing_for_testing("gdal", true);
  EXPECT_FALSE(dep_available("gdal"));
  Outcome o = check("gdal");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "\n"
            "  Missing dependency: gdal\n"
            "  Install it with:  apt-get install libgdal-dev  (then rebuild vexil)\n"
            "  Or install all convert deps:  scripts/install-deps.sh\n"
            "\n");

  set_dep_missing_for_testing("hdf5", true);
  o = check("hdf5");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("  Missing dependency: hdf5\n  Install it with:  apt-get install "
                       "libhdf5-dev  (then rebuild vexil)\n"),
            std::string::npos)
      << o.out;

  set_dep_missing_for_testing("gdal", false);
  EXPECT_EQ(dep_available("gdal"), check("gdal").status == -1);
}

TEST_F(DependencyCheck, UnknownNameIsItsOwnPackage) {
  Outcome o = check("zstd");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("  Missing dependency: zstd\n  Install it with:  apt-get install zstd  ("),
            std::string::npos)
      << o.out;
}

TEST_F(DependencyCheck, ColouredNameLineEndsWithReset) {
  display::set_colours_enabled(true);
  set_dep_missing_for_testing("envi", true);
  Outcome o = check("envi");
  const std::string expected =
      "\n" + display::RED + display::BOLD + "  Missing dependency: envi" + display::RESET;
  display::set_colours_enabled(false);
  EXPECT_EQ(o.status, 1);
  ASSERT_NE(expected, "\n  Missing dependency: envi");  // colours really were on
  EXPECT_EQ(o.out.substr(0, o.out.find("\n  Install")), expected);
}
