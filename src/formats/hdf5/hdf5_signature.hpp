// What a file is by its first bytes: the HDF5 signature (at 0, 512, 1024 ...,
// where a user block such as MATLAB's header pushes it), NetCDF-3, HDF4.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexil::formats::hdf5 {

// Offset of the HDF5 signature, nullopt when the file has none (or cannot be read).
std::optional<std::uint64_t> hdf5_signature_offset(const std::string& path);

// The one-line reason a file HDF5 refused to open cannot be read: another
// container (NetCDF-3, HDF4), no HDF5 signature at all, an empty file.
// Nullopt when the file does carry an HDF5 signature.
std::optional<std::string> not_hdf5_reason(const std::string& path);

}  // namespace vexil::formats::hdf5
