// Input recognition: the image's format from its extension, and for an
// extension no format claims, from the file's first bytes or an ENVI header
// beside it; the dataset specifier ("file.h5:/dataset", "file.h5::/grp/dataset").
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats {

// (file path, dataset name) split by the specifier rules.
struct DatasetPath {
  std::string file;
  std::string dataset;  // empty when there is no specifier
  bool has_dataset = false;
};
DatasetPath split_dataset_specifier(const std::string& path);
std::string strip_dataset_specifier(const std::string& path);

// What a file is by its first bytes.
enum class Content {
  Unreadable,  // missing, not a regular file or directory, or unreadable
  Directory,
  Unknown,  // none of the below
  Tiff,     // classic or BigTIFF, either byte order
  Hdf5,     // the signature at 0, 512, 1024, 2048 ...
  Mat,      // a MAT-file Level 5 or 7.3 header
  NetCdf3,  // CDF 1, 2 or 5
  Hdf4,
};
Content sniff_content(const std::string& path);

// The format of an image path (a dataset specifier is ignored; ".nc" counts
// as ".h5"). By extension first, except that a NetCDF-3 or HDF4 file named
// like HDF5 goes to the format registered under "netcdf3" or "hdf4" when
// there is one; an extension no format claims is recognised by content:
// TIFF, HDF5, MAT, NetCDF-3 and HDF4 signatures, or an ENVI header beside
// the file. Throws UnsupportedFormatError "Unrecognised file extension
// '<ext>'. Supported: envi, hdf5, tiff" when neither tells, and an error
// naming the file when it is a directory, or a NetCDF-3 or HDF4 file that
// no registered format reads.
const Format& detect_format(const std::string& path);

// Runs the format's image reader after checking that its library is built in.
LoadResult read_image_as(const Format& format, const std::string& path, const ReadOptions& options = {});

}  // namespace vexil::formats
