// The axis-order decision for HDF5-based cubes: what the file says before
// what the sizes suggest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/hdf5/hdf5_layout.hpp"
#include "support/test_util.hpp"
#include "vexil/errors.hpp"

using vexil::Layout;
using vexil::Shape;
using vexil::formats::hdf5::AxisEvidence;
using vexil::formats::hdf5::AxisOrder;
using vexil::formats::hdf5::decide_axes;
using vexil::formats::hdf5::is_band_axis_name;
using vexil::formats::hdf5::is_spatial_axis_name;
using vexil::formats::hdf5::transposed_text;

namespace {

using Names = std::vector<std::vector<std::string>>;

AxisEvidence evidence(Shape shape, Names names = {}) {
  AxisEvidence e;
  e.shape = std::move(shape);
  e.dim_names = std::move(names);
  return e;
}

}  // namespace

TEST(Hdf5Layout, BandAxisNames) {
  for (const char* n : {"band", "Bands", "wavelength", "WAVELENGTHS", "spectral", "spectral_band", "channel",
                        "channels", "nbands", "num_bands", "numbands", "band_index", "Wavelength (nm)"})
    EXPECT_TRUE(is_band_axis_name(n)) << n;
  for (const char* n : {"downtrack", "crosstrack", "x", "y", "lat", "bandwidth", "brand", "", "time", "abandon"})
    EXPECT_FALSE(is_band_axis_name(n)) << n;
  for (const char* n : {"y", "X", "lat", "Longitude", "rows", "lines", "samples", "downtrack", "crosstrack"})
    EXPECT_TRUE(is_spatial_axis_name(n)) << n;
  EXPECT_FALSE(is_spatial_axis_name("bands"));
  EXPECT_FALSE(is_spatial_axis_name("xy"));
}

TEST(Hdf5Layout, NamesDecideBeforeSizes) {
  struct Case {
    Shape shape;
    Names names;
    std::vector<int> perm;
    std::string stored;
  };
  const std::vector<Case> cases = {
      // An EMIT subset with fewer rows than columns and bands: the size rule would turn it.
      {{8, 12, 30}, {{"downtrack"}, {"crosstrack"}, {"bands"}}, {0, 1, 2}, "hwb"},
      {{30, 8, 12}, {{"wavelength"}, {"y"}, {"x"}}, {1, 2, 0}, "bhw"},
      {{8, 30, 12}, {{"lines"}, {"band"}, {"samples"}}, {0, 2, 1}, "hbw"},
      // Only the two spatial axes named: the third is the band axis.
      {{5, 200, 6}, {{"y"}, {"t"}, {"x"}}, {0, 2, 1}, "hbw"},
      // A netCDF dimension name and an h5py scale NAME both count.
      {{40, 50, 7}, {{"dim0", "rows"}, {"dim1"}, {"dim2", "channel"}}, {0, 1, 2}, "hwb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vexil::shape_str(c.shape));
    const AxisOrder o = decide_axes(evidence(c.shape, c.names), Layout::Auto, "cube");
    EXPECT_EQ(o.perm, c.perm);
    EXPECT_EQ(o.stored, c.stored);
    EXPECT_EQ(o.source, "dimension names");
    EXPECT_FALSE(o.size_rule_moved);
  }
  // Two axes named like bands, or names that say nothing: the sizes decide.
  for (const Names& names : {Names{{"band"}, {"wavelength"}, {"x"}}, Names{{"a"}, {"b"}, {"c"}}, Names{}}) {
    const AxisOrder o = decide_axes(evidence({4, 9, 9}, names), Layout::Auto, "cube");
    EXPECT_EQ(o.source, "size rule");
    EXPECT_TRUE(o.size_rule_moved);
    EXPECT_EQ(o.perm, (std::vector<int>{1, 2, 0}));
  }
}

TEST(Hdf5Layout, MatFilesProductsWavelengthCountsThenTheSizeRule) {
  AxisEvidence mat = evidence({7, 10, 12}, {{"band"}, {}, {}});
  mat.mat73 = true;  // column-major wins over names HDF5 tools may have added
  AxisOrder o = decide_axes(mat, Layout::Auto, "Houston");
  EXPECT_EQ(o.perm, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(o.stored, "bwh");
  EXPECT_EQ(o.source, "MAT-file 7.3 (column-major)");
  EXPECT_EQ(transposed_text(o.stored), "CWH \u2192 HWC");
  AxisEvidence mat2 = evidence({10, 12});
  mat2.mat73 = true;
  o = decide_axes(mat2, Layout::Auto, "gt");
  EXPECT_EQ(o.perm, (std::vector<int>{1, 0}));
  EXPECT_EQ(o.stored, "wh");
  EXPECT_EQ(transposed_text(o.stored), "WH \u2192 HW");
  AxisEvidence mat4 = evidence({2, 3, 4, 5});
  mat4.mat73 = true;
  o = decide_axes(mat4, Layout::Auto, "x");
  EXPECT_EQ(o.perm, (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(o.stored, "");

  AxisEvidence prisma = evidence({1000, 66, 1000});
  prisma.product_layout = Layout::HBW;
  prisma.product_name = "PRISMA";
  o = decide_axes(prisma, Layout::Auto, "VNIR_Cube");
  EXPECT_EQ(o.perm, (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(o.stored, "hbw");
  EXPECT_EQ(o.source, "product PRISMA");

  AxisEvidence wl = evidence({40, 48, 285});
  wl.wavelength_count = 285;
  o = decide_axes(wl, Layout::Auto, "cube");
  EXPECT_TRUE(o.identity());
  EXPECT_EQ(o.source, "wavelength count");
  wl.shape = {285, 48, 285};  // two axes match: no decision from the count
  EXPECT_EQ(decide_axes(wl, Layout::Auto, "cube").source, "size rule");

  // The size rule as it always was: only strictly fewest along the first axis.
  struct Size {
    Shape shape;
    bool moved;
  };
  for (const Size& s : {Size{{200, 512, 640}, true}, Size{{640, 512, 200}, false}, Size{{200, 200, 640}, false},
                        Size{{50, 640, 224}, true}}) {
    o = decide_axes(evidence(s.shape), Layout::Auto, "cube");
    EXPECT_EQ(o.size_rule_moved, s.moved) << vexil::shape_str(s.shape);
    EXPECT_EQ(o.stored, s.moved ? "bhw" : "hwb");
    EXPECT_EQ(o.source, "size rule");
  }
  // Not a cube: nothing to decide, nothing to record.
  o = decide_axes(evidence({3, 9}), Layout::Auto, "flat");
  EXPECT_TRUE(o.identity());
  EXPECT_EQ(o.stored, "");
}

TEST(Hdf5Layout, AnExplicitOrderWinsAndMustFit) {
  AxisEvidence named = evidence({8, 12, 30}, {{"downtrack"}, {"crosstrack"}, {"bands"}});
  AxisOrder o = decide_axes(named, Layout::BHW, "reflectance");
  EXPECT_EQ(o.perm, (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(o.stored, "bhw");
  EXPECT_EQ(o.source, "--layout");
  o = decide_axes(evidence({4, 9, 9}), Layout::HWB, "cube");
  EXPECT_TRUE(o.identity());
  EXPECT_FALSE(o.size_rule_moved);
  EXPECT_EQ(decide_axes(evidence({4, 9, 9}), Layout::HBW, "cube").perm, (std::vector<int>{0, 2, 1}));

  for (const Shape& s : {Shape{12, 10}, Shape{1, 2, 3, 4}, Shape{}}) {
    const std::string msg = vexil::test::error_of([&] { decide_axes(evidence(s), Layout::BHW, "gt"); });
    EXPECT_EQ(msg, "argument --layout: bhw does not fit dataset 'gt' of shape " + vexil::shape_str(s) +
                       ": it needs three axes");
    EXPECT_THROW(decide_axes(evidence(s), Layout::HWB, "gt"), vexil::UsageError);
  }
}
