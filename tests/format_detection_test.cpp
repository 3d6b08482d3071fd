#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.hpp"
#include "input/format_detection.hpp"

using namespace vexil::convert::internal;

namespace {

std::string detection_error(const std::string& path) {
  try {
    detect_format(path);
  } catch (const vexil::ValueError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(DetectFormat, ExtensionsInAnyLetterCase) {
  struct Row {
    const char* path;
    const char* fmt;
  };
  for (const Row& r : std::vector<Row>{
           {"cube.hdr", "envi"}, {"cube.HDR", "envi"}, {"cube.Hdr", "envi"},
           {"cube.img", "envi"}, {"cube.lan", "envi"}, {"dir.v2/cube.IMG", "envi"},
           {"scene.tif", "tiff"}, {"scene.TIF", "tiff"}, {"scene.tiff", "tiff"},
           {"scene.TiFf", "tiff"}, {"a.h5", "hdf5"}, {"a.hdf5", "hdf5"},
           {"/data/run1/cube.he5", "hdf5"}, {"cube.hdf", "hdf5"}, {"x.nc", "hdf5"},
           {"x.NC", "hdf5"}, {".a.hdr", "envi"}, {"/d/.cube.hdr", "envi"},
           {"/no/such/folder/cube.hdr", "envi"}}) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(detect_format(r.path), r.fmt);
  }
}

TEST(DetectFormat, DatasetSpecifierIsIgnoredForDetection) {
  EXPECT_EQ(detect_format("cube.h5:/radiance"), "hdf5");
  EXPECT_EQ(detect_format("cube.h5::/group/radiance"), "hdf5");
  EXPECT_EQ(detect_format("/mnt/x.h5:/grp/cube.tif"), "hdf5");
  EXPECT_EQ(detect_format("s3://bucket/cube.h5"), "hdf5");
  EXPECT_EQ(detect_format("s3://bucket/cube.nc::data.hdr"), "hdf5");
}

TEST(DetectFormat, UnrecognisedExtensionMessage) {
  const std::string tail = "'. Supported: envi, hdf5, tiff";
  EXPECT_EQ(detection_error("cube.jp2"), "Unrecognised file extension '.jp2" + tail);
  EXPECT_EQ(detection_error("CUBE.JP2"), "Unrecognised file extension '.jp2" + tail);
  EXPECT_EQ(detection_error("archive.tar.gz"), "Unrecognised file extension '.gz" + tail);
  EXPECT_EQ(detection_error("cube"), "Unrecognised file extension '" + tail);
  EXPECT_EQ(detection_error(".hdr"), "Unrecognised file extension '" + tail);
  EXPECT_EQ(detection_error("..hdr"), "Unrecognised file extension '" + tail);
  EXPECT_EQ(detection_error(""), "Unrecognised file extension '" + tail);
  EXPECT_EQ(detection_error("dir.hdr/"), "Unrecognised file extension '" + tail);
  EXPECT_EQ(detection_error("x."), "Unrecognised file extension '." + tail);
  EXPECT_EQ(detection_error("x.\xc3\x89XT"), "Unrecognised file extension '.\xc3\xa9xt" + tail);
  // Only the file part is examined: the ":/" rule does not apply to URL-like
  // paths, so the name after the last slash has no extension here.
  EXPECT_EQ(detection_error("http://host/cube.h5:/x"), "Unrecognised file extension '" + tail);
}

TEST(DatasetSpecifier, SplitsAtTheLastSeparator) {
  struct Row {
    const char* path;
    const char* file;
    const char* dataset;
    bool has;
  };
  for (const Row& r : std::vector<Row>{
           {"cube.h5", "cube.h5", "", false},
           {"cube.h5:/radiance", "cube.h5", "radiance", true},
           {"cube.h5::radiance", "cube.h5", "radiance", true},
           {"cube.h5::/group/radiance", "cube.h5", "/group/radiance", true},
           {"cube.h5::/grp/x", "cube.h5", "/grp/x", true},
           {"/mnt/x.h5:/grp/cube", "/mnt/x.h5", "grp/cube", true},
           {"a.h5::b::c", "a.h5::b", "c", true},
           {"a.h5:/b:/c", "a.h5:/b", "c", true},
           {"a.h5::b::/c", "a.h5::b", "/c", true},
           {"a.h5:/x::y", "a.h5", "x::y", true},
           {"cube.h5:/", "cube.h5", "", true},
           {"s3://bucket/cube.h5", "s3://bucket/cube.h5", "", false},
           {"s3://bucket/cube.h5:/x", "s3://bucket/cube.h5:/x", "", false},
           {"s3://bucket/cube.h5::/x", "s3://bucket/cube.h5", "/x", true},
           {"s3://b/c.h5::x::y", "s3://b/c.h5::x", "y", true},
           {"", "", "", false}}) {
    SCOPED_TRACE(r.path);
    const SplitPath s = split_dataset_specifier(r.path);
    EXPECT_EQ(s.file, r.file);
    EXPECT_EQ(s.dataset, r.dataset);
    EXPECT_EQ(s.has_dataset, r.has);
    EXPECT_EQ(strip_dataset_specifier(r.path), r.file);
  }
}

TEST(LoaderTable, EveryDetectedFormatHasItsLoader) {
  EXPECT_EQ(loader_for("envi"), &load_envi);
  EXPECT_EQ(loader_for("tiff"), &load_tiff);
  EXPECT_EQ(loader_for("hdf5"), &load_hdf5);
  for (const auto& e : EXT_MAP) EXPECT_NE(loader_for(e.fmt), nullptr) << e.ext;
  EXPECT_THROW(loader_for("png"), vexil::KeyError);
}
