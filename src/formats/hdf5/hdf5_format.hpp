// HDF5 (and netCDF-4, HDF-EOS5, MAT-file 7.3): one dataset of the file,
// named with a dataset specifier or chosen as the largest, delivered as
// (height, width, bands) whatever order the file stores it in.
#pragma once

#include <optional>
#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::hdf5 {

// `path` may end in a dataset specifier ("file.h5:/ds", "file.h5::/grp/ds").
LoadResult load_hdf5(const std::string& path, const ReadOptions& options = {});

// A label map from an HDF5/netCDF dataset ("labels.h5::gt", same specifier
// rules as the image): unit axes removed, MAT 7.3 and bottom-up rows put
// right; "dataset_used" and "_source_format" "HDF5".
LoadResult load_hdf5_labels(const std::string& path, const ReadOptions& options = {});

// A MAT-file 7.3 read as an image cube. `variable` names the MATLAB variable
// (an empty name: the only numeric variable, else the one with the most
// elements, the first found on a tie). MATLAB stores arrays column-major, so
// the axes HDF5 reports are reversed back to MATLAB's (rows, cols, bands).
// Metadata as load_hdf5 gives it, with "mat_key" after "dataset_used" and
// "_source_format" "MAT".
LoadResult load_mat73_image(const std::string& path, const std::string& variable, const ReadOptions& options = {});

// What a file is by its first bytes, when it is a container readers confuse
// with HDF5: "NetCDF-3 (classic)", "NetCDF-3 (64-bit offset)", "NetCDF-3
// (64-bit data)", "HDF4"; nullopt for HDF5 files and anything else.
std::optional<std::string> foreign_container(const std::string& path);

// Whether the file is a MAT-file 7.3 (HDF5 behind MATLAB's 512-byte header).
bool is_mat73_file(const std::string& path);

extern const Format kFormat;

}  // namespace vexil::formats::hdf5
