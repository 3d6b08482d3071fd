#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <filesystem>

#include "vexil/errors.hpp"
#include "formats/detect.hpp"
#include "support/test_util.hpp"

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
  for (const Row& r : std::vector<Row>{{"cube.hdr", "envi"},
                                       {"cube.HDR", "envi"},
                                       {"cube.Hdr", "envi"},
                                       {"cube.img", "envi"},
                                       {"cube.lan", "envi"},
                                       {"dir.v2/cube.IMG", "envi"},
                                       {"scene.tif", "tiff"},
                                       {"scene.TIF", "tiff"},
                                       {"scene.tiff", "tiff"},
                                       {"scene.TiFf", "tiff"},
                                       {"a.h5", "hdf5"},
                                       {"a.hdf5", "hdf5"},
                                       {"/data/run1/cube.he5", "hdf5"},
                                       {"cube.hdf", "hdf5"},
                                       {"x.nc", "hdf5"},
                                       {"x.NC", "hdf5"},
                                       {".a.hdr", "envi"},
                                       {"/d/.cube.hdr", "envi"},
                                       {"/no/such/folder/cube.hdr", "envi"},
                                       {"paviaU.dat", "envi"},
                                       {"capture.RAW", "envi"},
                                       {"x.BSQ", "envi"},
                                       {"x.bil", "envi"},
                                       {"x.bip", "envi"},
                                       {"field.hyspex", "envi"},
                                       {"Indian_pines.mat", "mat"},
                                       {"Houston.MAT", "mat"}}) {
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
  for (const Row& r : std::vector<Row>{{"cube.h5", "cube.h5", "", false},
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
  // MAT-files are read as images but the error's "Supported:" list keeps
  // naming the formats it always named.
  EXPECT_TRUE(format_by_key("mat")->unlisted);
  EXPECT_NE(format_by_key("mat")->read_image, nullptr);
}

namespace {

using vexil::test::TempDir;
using vexil::test::write_file;

}  // namespace

TEST(DetectFormat, UnknownExtensionsAreRecognisedByContent) {
  TempDir dir;
  std::string hdf5_at_512(512, '\0');
  hdf5_at_512 += std::string("\x89HDF\r\n\x1a\n", 8) + std::string(100, '\0');
  std::string mat_header = "MATLAB 5.0 MAT-file, written by Octave";
  mat_header.resize(124, ' ');
  mat_header += std::string("\x00\x01IM", 4);
  const std::vector<std::pair<std::string, std::string>> files{
      {"le.tif_", std::string("II*\0\x08\0\0\0", 8)},
      {"be.data", std::string("MM\0*\0\0\0\x08", 8)},
      {"big.xyz", std::string("II+\0\x08\0\0\0", 8)},
      {"bigbe", std::string("MM\0+\0\x08\0\0", 8)},
      {"scene.he", std::string("\x89HDF\r\n\x1a\n", 8)},
      {"userblock.cube", hdf5_at_512},
      {"cube.mat5", mat_header},
  };
  const char* expected[] = {"tiff", "tiff", "tiff", "tiff", "hdf5", "hdf5", "mat"};
  for (std::size_t i = 0; i < files.size(); ++i) {
    write_file(dir / files[i].first, files[i].second);
    EXPECT_EQ(detect_format_key(dir / files[i].first), expected[i]) << files[i].first;
  }
  // A data file whose ENVI header lies beside it.
  write_file(dir / "ang_rfl_img", std::string(16, '\x07'));
  write_file(dir / "ang_rfl_img.hdr", "ENVI\n");
  EXPECT_EQ(detect_format_key(dir / "ang_rfl_img"), "envi");
  write_file(dir / "scan.v2", "x");
  write_file(dir / "scan.HDR", "ENVI\n");
  EXPECT_EQ(detect_format_key(dir / "scan.v2"), "envi");
  // A MAT-file variable named after a single colon.
  write_file(dir / "Indian_pines.mat", mat_header);
  EXPECT_EQ(detect_format_key(dir / "Indian_pines.mat:indian_pines_corrected"), "mat");

  // Nothing tells: the error keeps its text.
  write_file(dir / "notes.txt", "plain text");
  EXPECT_EQ(detection_error(dir / "notes.txt"), "Unrecognised file extension '.txt'. Supported: envi, hdf5, tiff");
  write_file(dir / "short", "II");
  EXPECT_EQ(detection_error(dir / "short"), "Unrecognised file extension ''. Supported: envi, hdf5, tiff");
}

TEST(DetectFormat, DirectoriesAndUnreadableContainersAreNamed) {
  TempDir dir;
  std::filesystem::create_directories(dir / "cube.tif");
  std::filesystem::create_directories(dir / "scene.h5");
  std::filesystem::create_directories(dir / "folder");
  EXPECT_EQ(detection_error(dir / "cube.tif"), dir / "cube.tif" + " is a directory, not a file.");
  EXPECT_EQ(detection_error(dir / "scene.h5::/x"), dir / "scene.h5" + " is a directory, not a file.");
  EXPECT_EQ(detection_error(dir / "folder"), dir / "folder" + " is a directory, not a file.");
  // A directory named like a header is left to the ENVI reader, which says so itself.
  std::filesystem::create_directories(dir / "d.hdr");
  EXPECT_EQ(detect_format_key(dir / "d.hdr"), "envi");

  write_file(dir / "a.cdf", std::string("CDF\x01\0\0\0\0", 8));
  write_file(dir / "b.cdf", std::string("CDF\x02\0\0\0\0", 8));
  write_file(dir / "c.sd", std::string("\x0e\x03\x13\x01", 4));
#ifdef VEXIL_HAVE_GDAL
  // Read through GDAL, whatever the extension says.
  EXPECT_EQ(detect_format_key(dir / "a.cdf"), "netcdf3");
  EXPECT_EQ(detect_format_key(dir / "b.cdf"), "netcdf3");
  EXPECT_EQ(detect_format_key(dir / "c.sd"), "hdf4");
#else
  EXPECT_EQ(detection_error(dir / "a.cdf").rfind(dir / "a.cdf" + " is a NetCDF-3 file, which is not supported", 0), 0u);
  EXPECT_EQ(detection_error(dir / "c.sd").rfind(dir / "c.sd" + " is an HDF4 file, which is not supported", 0), 0u);
  EXPECT_THROW(detect_format(dir / "c.sd"), vexil::UnsupportedFormatError);
#endif
}

TEST(SniffContent, SignaturesAndFileKinds) {
  TempDir dir;
  EXPECT_EQ(sniff_content(dir / "missing"), Content::Unreadable);
  EXPECT_EQ(sniff_content(dir.path()), Content::Directory);
  write_file(dir / "empty", "");
  EXPECT_EQ(sniff_content(dir / "empty"), Content::Unknown);
  // The HDF5 signature only at 0 or a power of two from 512 on.
  std::string at_1024(1024, '\0');
  at_1024 += std::string("\x89HDF\r\n\x1a\n", 8);
  write_file(dir / "h", at_1024);
  EXPECT_EQ(sniff_content(dir / "h"), Content::Hdf5);
  std::string at_700(700, '\0');
  at_700 += std::string("\x89HDF\r\n\x1a\n", 8);
  write_file(dir / "h", at_700);
  EXPECT_EQ(sniff_content(dir / "h"), Content::Unknown);
  // A MAT-file header needs its version and endian mark.
  std::string mat = "MATLAB 7.3 MAT-file";
  mat.resize(124, ' ');
  write_file(dir / "m", mat + std::string("\x00\x02IM", 4));
  EXPECT_EQ(sniff_content(dir / "m"), Content::Mat);
  write_file(dir / "m", mat + std::string("\x02\x00MI", 4));
  EXPECT_EQ(sniff_content(dir / "m"), Content::Mat);
  write_file(dir / "m", mat + std::string("\x00\x03IM", 4));
  EXPECT_EQ(sniff_content(dir / "m"), Content::Unknown);
  write_file(dir / "n", std::string("CDF\x05", 4));
  EXPECT_EQ(sniff_content(dir / "n"), Content::NetCdf3);
}
