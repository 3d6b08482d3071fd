#include "formats/mat/mat_prescan.hpp"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "core/mat_constants.hpp"
#include "formats/mat/mat5_tags.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::mat {
namespace {

// --- Level 5 element tags ----------------------------------------------

// The head of a miMATRIX element (flags, dimensions, name, first data tag)
// fits in far less than this unless the dimension list is absurd.
constexpr std::size_t kHeadBytes = 64 * 1024;

std::size_t mat_type_size(std::uint32_t t) {
  switch (t) {
    case miINT8:
    case miUINT8: return 1;
    case miINT16:
    case miUINT16: return 2;
    case miINT32:
    case miUINT32:
    case miSINGLE: return 4;
    case miDOUBLE:
    case miINT64:
    case miUINT64: return 8;
    default: return 0;
  }
}

// The name, dimensions and stored data type of one miMATRIX element whose
// bytes (tag included) start at p; nullopt when the head is not all there.
std::optional<StoredVar> parse_matrix_head(const unsigned char* p, std::size_t n, bool swap) {
  SubElement m;
  if (!read_tag(p, n, swap, m) || m.type != miMATRIX) return std::nullopt;
  std::size_t pos = 8;
  SubElement flags, dims, name, data;
  if (!read_tag(p + pos, n - pos, swap, flags) || flags.total > n - pos || flags.nbytes < 4) return std::nullopt;
  pos += flags.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, dims) || dims.total > n - pos) return std::nullopt;
  pos += dims.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, name) || name.total > n - pos) return std::nullopt;
  pos += name.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, data)) return std::nullopt;
  StoredVar v;
  v.name.assign(reinterpret_cast<const char*>(name.data), name.nbytes);
  v.name.resize(std::strlen(v.name.c_str()));  // matio's names end at the first NUL
  v.data_type = data.type;
  v.data_nbytes = data.nbytes;
  v.matrix_nbytes = m.nbytes;
  v.data_end = pos + (data.data - (p + pos)) + static_cast<std::uint64_t>(data.nbytes);
  const std::uint32_t flag_word = load_u32(flags.data, swap);
  const std::uint32_t cls = flag_word & 0xFF;
  v.numeric = cls >= core::mat::mxDOUBLE && cls <= core::mat::mxUINT64;
  v.complex = (flag_word >> 8) & core::mat::kFlagComplex;
  unsigned __int128 count = 1;
  for (std::uint32_t i = 0; i + 4 <= dims.nbytes; i += 4) {
    const auto d = static_cast<std::int32_t>(load_u32(dims.data + i, swap));
    count *= static_cast<std::uint64_t>(d < 0 ? 0 : d);
    if (count > UINT64_MAX) count = UINT64_MAX;
  }
  v.count = static_cast<std::uint64_t>(count);
  return v;
}

// Inflates a miCOMPRESSED element. Keeps the first kHeadBytes of output;
// with `whole`, runs to the end of the stream and reports its total length
// (nullopt-like -1 when the stream is broken or ends early).
struct Inflated {
  std::vector<unsigned char> head;
  std::uint64_t total = 0;
  bool complete = false;
};

Inflated inflate_element(std::FILE* f, std::uint32_t nbytes, bool whole, bool swap) {
  Inflated r;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return r;
  std::vector<unsigned char> out(kHeadBytes), sink(whole ? 256 * 1024 : 0);
  std::vector<unsigned char> in(64 * 1024);
  std::size_t left = nbytes, produced = 0;
  int rc = Z_OK;
  while (left > 0 && rc == Z_OK) {
    const std::size_t chunk = std::min(left, in.size());
    if (std::fread(in.data(), 1, chunk, f) != chunk) break;
    left -= chunk;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(chunk);
    while (zs.avail_in > 0 && rc == Z_OK) {
      if (produced < out.size()) {
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&zs, Z_NO_FLUSH);
        produced = out.size() - zs.avail_out;
      } else if (whole) {
        zs.next_out = sink.data();
        zs.avail_out = static_cast<uInt>(sink.size());
        rc = inflate(&zs, Z_NO_FLUSH);
      } else {
        break;
      }
    }
    if (!whole && (produced >= out.size() || parse_matrix_head(out.data(), produced, swap))) break;
  }
  r.complete = rc == Z_STREAM_END;
  r.total = zs.total_out;
  out.resize(produced);
  r.head = std::move(out);
  inflateEnd(&zs);
  return r;
}

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

}  // namespace

// Every top-level element of a Level 5 file: its variable's name, stored
// data type and extent. Elements running past the end of the file mean a
// truncated file, refused before matio reads it.
Level5Scan scan_level5(const std::string& path) {
  Level5Scan scan;
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return scan;
  unsigned char header[128];
  if (std::fread(header, 1, 128, f.get()) != 128) return scan;
  const bool swap = scan.swap = header[126] == 'M' && header[127] == 'I';
  struct stat st;
  if (::fstat(fileno(f.get()), &st) != 0) return scan;
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t offset = 128;
  while (offset + 8 <= size) {
    unsigned char tag[8];
    if (std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0 || std::fread(tag, 1, 8, f.get()) != 8) break;
    const std::uint32_t type = load_u32(tag, swap);
    const std::uint32_t nbytes = load_u32(tag + 4, swap);
    if (type >> 16) break;  // not a top-level element: leave the rest to matio
    if (nbytes > size - offset - 8)
      throw BadInputError(
          fmt::format("MAT-file {} is truncated or corrupt: the element at byte {} claims {} bytes, but only {} remain",
                      path, offset, nbytes, size - offset - 8));
    if (type == miMATRIX || type == miCOMPRESSED) {
      check_element(f.get(), offset, nbytes, type == miCOMPRESSED, swap, path);
      if (std::fseek(f.get(), static_cast<long>(offset + 8), SEEK_SET) != 0) break;
    }
    std::optional<StoredVar> v;
    if (type == miMATRIX) {
      std::vector<unsigned char> head(8 + std::min<std::size_t>(nbytes, kHeadBytes));
      std::memcpy(head.data(), tag, 8);
      if (std::fread(head.data() + 8, 1, head.size() - 8, f.get()) == head.size() - 8) {
        v = parse_matrix_head(head.data(), head.size(), swap);
      }
    } else if (type == miCOMPRESSED) {
      Inflated z = inflate_element(f.get(), nbytes, false, swap);
      v = parse_matrix_head(z.head.data(), z.head.size(), swap);
      // Inflation stopped short of a whole matrix head: the stream is broken
      // or ends early, and matio would take whatever its buffer held as the
      // rest of the head (a name length of gigabytes, say).
      if (!v && z.head.size() < kHeadBytes && !z.complete)
        throw BadInputError(
            fmt::format("MAT-file {} is corrupt: the compressed element at byte {} is damaged", path, offset));
    }
    if (v) {
      scan.vars.emplace(v->name, Level5Var{*v, offset, nbytes, type == miCOMPRESSED});
      ++scan.copies[v->name];
    }
    offset += 8 + static_cast<std::uint64_t>(nbytes);
  }
  return scan;
}

// The chosen variable's data element must hold every element its
// dimensions promise, inside its own element; matio would otherwise hand
// back a buffer partly made of nothing it read.
void check_level5_extent(const std::string& path, const Level5Scan& scan, const std::string& name) {
  auto it = scan.vars.find(name);
  // matio listed it, the scan could not read its head: nothing below
  // could be checked.
  if (it == scan.vars.end())
    throw BadInputError(
        fmt::format("MAT-file {}: variable '{}' is truncated or corrupt (its head is malformed)", path, name));
  // matio reads the first readable copy, loadmat keeps the last, and the
  // checks below could only vouch for one of them.
  if (const int copies = scan.copies.at(name); copies > 1)
    throw BadInputError(fmt::format("MAT-file {}: variable '{}' is stored {} times; cannot tell which one to read",
                                    path, name, copies));
  const Level5Var& lv = it->second;
  StoredVar head = lv.head;
  const std::size_t tsize = mat_type_size(head.data_type);
  if (!head.numeric) return;
  auto corrupt = [&](const std::string& why) {
    return BadInputError(fmt::format("MAT-file {}: variable '{}' is truncated or corrupt ({})", path, name, why));
  };
  // Without a numeric storage type nothing bounds the dimensions, and matio
  // allocates what they claim before it reads a byte.
  if (tsize == 0) throw corrupt(fmt::format("its data element has type {}, not a numeric one", head.data_type));
  unsigned __int128 need = static_cast<unsigned __int128>(head.count) * tsize;
  if (need > head.data_nbytes)
    throw corrupt(fmt::format("its dimensions need {} bytes of data, its data element holds {}",
                              static_cast<std::uint64_t>(need > UINT64_MAX ? UINT64_MAX : need), head.data_nbytes));
  std::uint64_t matrix_total = 8 + head.matrix_nbytes;
  if (lv.compressed) {
    FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f || std::fseek(f.get(), static_cast<long>(lv.offset + 8), SEEK_SET) != 0)
      throw ReadError("Cannot reopen " + path);
    Inflated z = inflate_element(f.get(), lv.nbytes, true, scan.swap);
    if (!z.complete) throw corrupt("its compressed data is damaged or cut short");
    if (matrix_total > z.total) throw corrupt("its compressed data ends early");
  } else if (matrix_total > 8 + static_cast<std::uint64_t>(lv.nbytes)) {
    throw corrupt("its matrix element runs past its end");
  }
  if (head.data_end > matrix_total) throw corrupt("its data element runs past the matrix element");
  if (head.complex) {
    // matio reads as many imaginary values as real ones, whatever the
    // imaginary part's tag says.
    const std::uint64_t at = (head.data_end + 7) / 8 * 8;
    FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
    unsigned char tag[8];
    SubElement im;
    if (!f || at + 8 > matrix_total || !read_matrix_bytes(f.get(), lv.offset, lv.nbytes, lv.compressed, at, tag, 8) ||
        !read_tag(tag, 8, scan.swap, im))
      throw corrupt("its imaginary part is missing");
    const std::size_t im_size = mat_type_size(im.type);
    if (im_size == 0) throw corrupt(fmt::format("its imaginary part has type {}, not a numeric one", im.type));
    const unsigned __int128 im_need = static_cast<unsigned __int128>(head.count) * im_size;
    if (im_need > im.nbytes)
      throw corrupt(fmt::format("its dimensions need {} bytes of imaginary data, its element holds {}",
                                static_cast<std::uint64_t>(im_need > UINT64_MAX ? UINT64_MAX : im_need), im.nbytes));
    if (at + (im.packed ? 4 : 8) + std::uint64_t{im.nbytes} > matrix_total)
      throw corrupt("its imaginary part runs past the matrix element");
  }
}

std::optional<DType> dtype_of_mat_type(std::uint32_t t) {
  switch (t) {
    case miINT8: return DType::Int8;
    case miUINT8: return DType::UInt8;
    case miINT16: return DType::Int16;
    case miUINT16: return DType::UInt16;
    case miINT32: return DType::Int32;
    case miUINT32: return DType::UInt32;
    case miSINGLE: return DType::Float32;
    case miDOUBLE: return DType::Float64;
    case miINT64: return DType::Int64;
    case miUINT64: return DType::UInt64;
    default: return std::nullopt;
  }
}

// matio allocates a Level 4 variable's name and data as its header declares
// them; walk the headers first and refuse any that run past the file.
void check_level4_extents(const std::string& path, std::uint64_t size) {
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return;
  std::uint64_t offset = 0;
  bool first_swap = false;
  while (offset + 20 <= size) {
    unsigned char h[20];
    if (std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0 || std::fread(h, 1, 20, f.get()) != 20) return;
    // matio takes the type word in whichever order reads as a type, then the
    // byte order of the other four from its M digit (0 little, 1 big endian),
    // and keeps the order it settled on for the first variable.
    std::uint32_t v[5];
    v[0] = load_u32(h, false);
    if (v[0] > 4052) v[0] = load_u32(h, true);
    const bool swap = (v[0] / 1000 == 1) == (std::endian::native == std::endian::little);
    if (offset == 0) first_swap = swap;
    if (swap != first_swap)
      throw BadInputError(
          fmt::format("MAT-file {} is corrupt: the variable at byte {} changes byte order", path, offset));
    for (int i = 1; i < 5; ++i) v[i] = load_u32(h + 4 * i, swap);
    static constexpr std::uint64_t kSize[] = {8, 4, 4, 2, 2, 1};
    const std::uint32_t p = (v[0] / 10) % 10;
    const unsigned __int128 data =
        static_cast<unsigned __int128>(v[1]) * v[2] * (p < 6 ? kSize[p] : 8) * (v[3] ? 2 : 1);
    if (v[0] > 4052 || v[4] > size - offset - 20 || data > size - offset - 20 - v[4])
      throw BadInputError(
          fmt::format("MAT-file {} is truncated or corrupt: the variable at byte {} runs past the end", path, offset));
    offset += 20 + v[4] + static_cast<std::uint64_t>(data);
  }
}

std::uint64_t check_before_open(const std::string& path, MatHeader& header) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) throw NotFoundError("[Errno 2] No such file or directory: '" + path + "'");
    throw ReadError(fmt::format("[Errno {}] {}: '{}'", errno, std::strerror(errno), path));
  }
  if (S_ISDIR(st.st_mode)) throw ReadError("[Errno 21] Is a directory: '" + path + "'");
  if (st.st_size == 0) throw BadInputError("MAT-file " + path + " is empty");

  // Without a Level 5 / 7.3 header matio tries Level 4, reading the first
  // variable's header inside Mat_Open already.
  unsigned char head[128] = {};
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  // matio also wants version 0x0100 (Level 5) or 0x0200 (7.3), else it
  // reads the file as Level 4.
  const bool read = f && std::fread(head, 1, 128, f.get()) == 128;
  const bool little = head[126] == 'I' && head[127] == 'M', big = head[126] == 'M' && head[127] == 'I';
  const unsigned version = little ? head[124] | head[125] << 8 : head[125] | head[124] << 8;
  const bool level5 = read && (little || big) && (version == 0x0100 || version == 0x0200);
  header = !level5 ? MatHeader::Level4 : version == 0x0200 ? MatHeader::V73 : MatHeader::Level5;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (!level5) check_level4_extents(path, size);
  return size;
}

}  // namespace vexil::formats::mat
