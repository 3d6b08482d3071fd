#include "formats/gdal_module.hpp"

#include <dlfcn.h>

#include "vexil/errors.hpp"
#include "vexil/version.hpp"

namespace vexil::formats::gdal_module {

namespace {

#ifdef VEXIL_HAVE_GDAL
// The module beside the library holding this code, else by name on the
// loader's path. Never unloaded: GDAL keeps drivers and caches for the
// life of the process.
const EntryPoints* load() {
  std::string dir;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&load), &info) != 0 && info.dli_fname) {
    const std::string self = info.dli_fname;
    if (const auto slash = self.rfind('/'); slash != std::string::npos) dir = self.substr(0, slash + 1);
  }
  void* handle = nullptr;
  if (!dir.empty()) handle = ::dlopen((dir + VEXIL_GDAL_MODULE).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) handle = ::dlopen(VEXIL_GDAL_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  using Fn = const EntryPoints* (*)(const char*, std::size_t);
  const auto fn = reinterpret_cast<Fn>(::dlsym(handle, "vexil_gdal_entry_points"));
  return fn ? fn(VEXIL_VERSION_STRING, sizeof(EntryPoints)) : nullptr;
}
#endif

const EntryPoints* loaded() {
#ifdef VEXIL_HAVE_GDAL
  static const EntryPoints* const entries = load();
  return entries;
#else
  return nullptr;
#endif
}

const EntryPoints& entries() {
  const EntryPoints* e = loaded();
  if (!e) throw MissingDependencyError("gdal", "libgdal-dev");
  return *e;
}

}  // namespace

bool available() { return loaded() != nullptr; }

LoadResult load_tiff(const std::string& path, const ReadOptions& options) { return entries().load_tiff(path, options); }
LoadResult load_tiff_labels(const std::string& path, const ReadOptions& options) {
  return entries().load_tiff_labels(path, options);
}
LoadResult load_tiff_described_by_envi_header(const std::string& hdr_path, const std::string& data_path,
                                              const Metadata& header_fields, const ReadOptions& options) {
  return entries().load_tiff_described_by_envi_header(hdr_path, data_path, header_fields, options);
}
NDArray read_image(const std::string& path) { return entries().read_image(path); }
LoadResult load_netcdf3(const std::string& path, const ReadOptions& options) {
  return entries().load_netcdf3(path, options);
}
LoadResult load_hdf4(const std::string& path, const ReadOptions& options) { return entries().load_hdf4(path, options); }
LoadResult load_netcdf3_labels(const std::string& path, const ReadOptions& options) {
  return entries().load_netcdf3_labels(path, options);
}
LoadResult load_hdf4_labels(const std::string& path, const ReadOptions& options) {
  return entries().load_hdf4_labels(path, options);
}
void describe_enmap(const std::string& xml_path, const std::string& image_path, std::int64_t bands, BandFacts& facts) {
  entries().describe_enmap(xml_path, image_path, bands, facts);
}

}  // namespace vexil::formats::gdal_module
