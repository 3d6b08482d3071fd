// TIFF and GeoTIFF, read through GDAL. The readers below are part of the
// GDAL module; code in the library calls them through gdal_module.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "formats/format_table.hpp"

namespace vexil::formats::tiff {

// Every band as (height, width, bands) with driver, type, nodata, CRS,
// transform, bounds, band descriptions and tags.
LoadResult load_tiff(const std::string& path, const ReadOptions& options = {});
// Band 1 as (height, width); `crs` is set when the file has one.
NDArray read_band1(const std::string& path, std::optional<std::string>& crs);
// A TIFF label map: band 1, "crs" when there is one, "_source_format" "GeoTIFF".
LoadResult load_tiff_labels(const std::string& path, const ReadOptions& options = {});

// True for an ENVI "file type" naming a format of its own ("TIFF",
// "GeoTIFF", "HDF Scientific Data" ...): the header then describes a file
// that GDAL reads, not raw ENVI data. False for "ENVI Standard" and the
// other ENVI types, and for an empty text.
bool envi_file_type_is_foreign(std::string_view file_type);

// A file described by an ENVI header whose "file type" is foreign (DESIS
// ships a GeoTIFF with such a header): the pixels and metadata of the file
// as load_tiff() gives them, the header's fields under "envi_header", and
// what the header says about the bands (wavelength, fwhm, data ignore
// value, data gain/offset values) under the common band-fact keys.
// `header_fields` are the header's fields as the ENVI reader keeps them.
// `data_path` empty: the file beside the header with the header's name and
// a TIFF extension (.tif, .tiff, .geotiff in any case).
LoadResult load_tiff_described_by_envi_header(const std::string& hdr_path, const std::string& data_path,
                                              const Metadata& header_fields, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::tiff
