#include "formats/hdf5/hdf5_filters.hpp"

#ifdef VEXIL_HAVE_HDF5

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#ifdef VEXIL_HAVE_LZF
extern "C" {
#include <lzf.h>
}
#endif

#include "core/inflater.hpp"
#include "libs/hdf5_handles.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::hdf5 {
namespace {

// Filter numbers registered with The HDF Group, for the names users know.
struct KnownFilter {
  H5Z_filter_t id;
  const char* name;
};
constexpr KnownFilter kKnownFilters[] = {
    {H5Z_FILTER_DEFLATE, "deflate"},
    {H5Z_FILTER_SHUFFLE, "shuffle"},
    {H5Z_FILTER_FLETCHER32, "fletcher32"},
    {H5Z_FILTER_SZIP, "szip"},
    {H5Z_FILTER_NBIT, "nbit"},
    {H5Z_FILTER_SCALEOFFSET, "scaleoffset"},
    {305, "lzo"},
    {307, "bzip2"},
    {32000, "lzf"},
    {32001, "blosc"},
    {32002, "mafisc"},
    {32003, "snappy"},
    {32004, "lz4"},
    {32005, "apax"},
    {32006, "cbf"},
    {32007, "jpeg-xr"},
    {32008, "bitshuffle"},
    {32009, "spdp"},
    {32010, "lpc-rice"},
    {32011, "ccsds-123"},
    {32012, "jpeg-ls"},
    {32013, "zfp"},
    {32014, "fpzip"},
    {32015, "zstd"},
    {32016, "b3d"},
    {32017, "sz"},
    {32018, "fcidecomp"},
    {32019, "jpeg"},
    {32020, "vbz"},
    {32021, "fapec"},
    {32022, "bitgroom"},
    {32023, "granularbr"},
    {32024, "sz3"},
    {32025, "delta-rice"},
    {32026, "blosc2"},
    {32027, "flac"},
};

#ifdef VEXIL_HAVE_LZF
// The LZF filter as h5py defines it: the third client value is the chunk
// size in bytes, a guess for the output that grows when it is too small.
size_t lzf_filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes, size_t* buf_size,
                  void** buf) {
  if (!(flags & H5Z_FLAG_REVERSE)) return 0;  // this program never writes LZF
  std::size_t out_size = (cd_nelmts >= 3 && cd_values[2] != 0) ? cd_values[2] : *buf_size;
  if (out_size == 0) out_size = 1;
  for (int attempt = 0; attempt < 32; ++attempt) {
    void* out = H5allocate_memory(out_size, false);
    if (!out) return 0;
    errno = 0;
    const unsigned got = lzf_decompress(*buf, static_cast<unsigned>(nbytes), out, static_cast<unsigned>(out_size));
    if (got != 0) {
      H5free_memory(*buf);
      *buf = out;
      *buf_size = out_size;
      return got;
    }
    H5free_memory(out);
    if (errno != E2BIG || out_size > (std::size_t{1} << 32)) return 0;
    out_size += std::max<std::size_t>(*buf_size, 1);
  }
  return 0;
}

const H5Z_class2_t kLzfClass = {H5Z_CLASS_T_VERS, kLzfFilter, 1, 1, "lzf", nullptr, nullptr, lzf_filter};

void register_lzf() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (H5Zfilter_avail(kLzfFilter) <= 0) H5Zregister(&kLzfClass);
    H5Eclear2(H5E_DEFAULT);
  });
}
#endif

bool decode_enabled(H5Z_filter_t id) {
  const htri_t avail = H5Zfilter_avail(id);
  if (avail <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  unsigned config = 0;
  if (H5Zget_filter_info(id, &config) < 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  return (config & H5Z_FILTER_CONFIG_DECODE_ENABLED) != 0;
}

bool zlib_inflate_into(const std::byte* in, std::size_t in_size, std::byte* out, std::size_t out_size) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in));
  zs.next_out = reinterpret_cast<Bytef*>(out);
  std::size_t in_left = in_size, out_left = out_size;
  int rc = Z_OK;
  // zlib counts in 32-bit units; feed large buffers in pieces.
  while (rc == Z_OK) {
    if (zs.avail_in == 0 && in_left > 0) {
      zs.avail_in = static_cast<uInt>(std::min<std::size_t>(in_left, 1u << 30));
      in_left -= zs.avail_in;
    }
    if (zs.avail_out == 0 && out_left > 0) {
      zs.avail_out = static_cast<uInt>(std::min<std::size_t>(out_left, 1u << 30));
      out_left -= zs.avail_out;
    }
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_BUF_ERROR && zs.avail_out == 0 && out_left == 0) break;  // more output than expected
    if (rc == Z_BUF_ERROR && zs.avail_in == 0 && in_left == 0) break;    // truncated stream
  }
  const bool ok = rc == Z_STREAM_END && zs.total_out == out_size;
  inflateEnd(&zs);
  return ok;
}

// ISA-L (through core::Inflater) decodes the same streams two to three
// times faster than zlib; zlib stays the judge of anything it refuses.
bool inflate_into(const std::byte* in, std::size_t in_size, std::byte* out, std::size_t out_size) {
  core::Inflater inflater;
  std::size_t used = 0, made = 0;
  if (inflater.decode(reinterpret_cast<const std::uint8_t*>(in), in_size, used, reinterpret_cast<std::uint8_t*>(out),
                      out_size, made) == core::Inflater::Status::End &&
      made == out_size)
    return true;
  return zlib_inflate_into(in, in_size, out, out_size);
}

void unshuffle(const std::byte* in, std::byte* out, std::size_t bytes, std::size_t elem) {
  const std::size_t n = bytes / elem;
  for (std::size_t j = 0; j < elem; ++j) {
    const std::byte* plane = in + j * n;
    std::byte* dst = out + j;
    for (std::size_t i = 0; i < n; ++i) dst[i * elem] = plane[i];
  }
  // Bytes that do not fill a whole element were left in place by the writer.
  std::memcpy(out + n * elem, in + n * elem, bytes - n * elem);
}

}  // namespace

std::vector<FilterStep> read_pipeline(hid_t dcpl) {
  std::vector<FilterStep> steps;
  const int n = H5Pget_nfilters(dcpl);
  for (int i = 0; i < n; ++i) {
    FilterStep s;
    unsigned flags = 0, config = 0;
    std::size_t nvalues = 16;
    s.cd_values.resize(nvalues);
    char name[256] = {};
    s.id = H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &nvalues, s.cd_values.data(), sizeof(name), name,
                          &config);
    if (s.id < 0) libs::hdf5::throw_io("Cannot read the dataset's filter pipeline");
    s.cd_values.resize(std::min<std::size_t>(nvalues, 16));
    s.name = name;
    steps.push_back(std::move(s));
  }
  return steps;
}

std::string filter_name(const FilterStep& step) {
  for (const KnownFilter& k : kKnownFilters)
    if (k.id == step.id) return k.name;
  if (!step.name.empty()) return step.name;
  return "unknown";
}

void require_filters(const std::vector<FilterStep>& pipeline, const std::string& key, const std::string& path) {
  for (const FilterStep& s : pipeline) {
#ifdef VEXIL_HAVE_LZF
    if (s.id == kLzfFilter) register_lzf();
#endif
    if (!decode_enabled(s.id))
      throw BadInputError(
          fmt::format("Dataset '{}' in {} is stored with the HDF5 filter {} ({}), which this program cannot decode",
                      key, path, filter_name(s), s.id));
  }
}

bool pipeline_decodable(const std::vector<FilterStep>& pipeline) {
  int compressors = 0;
  for (const FilterStep& s : pipeline) {
    if (s.id == H5Z_FILTER_DEFLATE) {
      ++compressors;
    } else if (s.id == kLzfFilter) {
#ifndef VEXIL_HAVE_LZF
      return false;
#endif
      ++compressors;
    } else if (s.id != H5Z_FILTER_SHUFFLE) {
      return false;
    }
  }
  return compressors <= 1;
}

bool decode_chunk(const std::vector<FilterStep>& pipeline, unsigned filter_mask, ChunkBytes& raw, ChunkBytes& scratch,
                  std::size_t chunk_bytes) {
  for (std::size_t i = pipeline.size(); i-- > 0;) {
    if (i < 32 && (filter_mask >> i) & 1u) continue;
    const FilterStep& s = pipeline[i];
    scratch.resize(chunk_bytes);
    if (s.id == H5Z_FILTER_DEFLATE) {
      if (!inflate_into(raw.data(), raw.size(), scratch.data(), chunk_bytes)) return false;
    } else if (s.id == kLzfFilter) {
#ifdef VEXIL_HAVE_LZF
      if (raw.empty() || raw.size() > 0xffffffffu || chunk_bytes > 0xffffffffu) return false;
      const unsigned got = lzf_decompress(raw.data(), static_cast<unsigned>(raw.size()), scratch.data(),
                                          static_cast<unsigned>(chunk_bytes));
      if (got != chunk_bytes) return false;
#else
      return false;
#endif
    } else if (s.id == H5Z_FILTER_SHUFFLE) {
      const std::size_t elem = s.cd_values.empty() ? 1 : s.cd_values[0];
      if (raw.size() != chunk_bytes) return false;
      if (elem <= 1) continue;
      unshuffle(raw.data(), scratch.data(), chunk_bytes, elem);
    } else {
      return false;
    }
    raw.swap(scratch);
  }
  return raw.size() == chunk_bytes;
}

}  // namespace vexil::formats::hdf5

#endif  // VEXIL_HAVE_HDF5
