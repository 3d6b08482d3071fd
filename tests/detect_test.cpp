#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/detect.hpp"

using namespace vexil::formats;

namespace {

std::string detect_format_key(const std::string& path) { return std::string(detect_format(path).key); }

std::string detection_error(const std::string& path) {
  try {
    detect_format(path);
  } catch (const vexil::BadInputError& e) {
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
    EXPECT_EQ(detect_format_key(r.path), r.fmt);
  }
}

TEST(DetectFormat, DatasetSpecifierIsIgnoredForDetection) {
  EXPECT_EQ(detect_format_key("cube.h5:/radiance"), "hdf5");
  EXPECT_EQ(detect_format_key("cube.h5::/group/radiance"), "hdf5");
  EXPECT_EQ(detect_format_key("/mnt/x.h5:/grp/cube.tif"), "hdf5");
  EXPECT_EQ(detect_format_key("s3://bucket/cube.h5"), "hdf5");
  EXPECT_EQ(detect_format_key("s3://bucket/cube.nc::data.hdr"), "hdf5");
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
    const DatasetPath s = split_dataset_specifier(r.path);
    EXPECT_EQ(s.file, r.file);
    EXPECT_EQ(s.dataset, r.dataset);
    EXPECT_EQ(s.has_dataset, r.has);
    EXPECT_EQ(strip_dataset_specifier(r.path), r.file);
  }
}

TEST(FormatTable, EveryExtensionBelongsToOneFormatWithItsReader) {
  std::set<std::string_view> image_exts, label_exts;
  for (const Format* f : all_formats()) {
    SCOPED_TRACE(f->key);
    EXPECT_EQ(f->image_extensions.empty(), f->read_image == nullptr);
    EXPECT_EQ(f->label_extensions.empty(), f->read_labels == nullptr);
    for (auto e : f->image_extensions) {
      EXPECT_TRUE(image_exts.insert(e).second) << e;
      EXPECT_EQ(format_for_image_extension(e), f);
    }
    for (auto e : f->label_extensions) {
      EXPECT_TRUE(label_exts.insert(e).second) << e;
      EXPECT_EQ(format_for_label_extension(e), f);
    }
    EXPECT_EQ(format_by_key(f->key), f);
  }
  EXPECT_EQ(format_for_image_extension(".png"), nullptr);
  EXPECT_EQ(format_by_key("png"), nullptr);
}
