#include "formats/mat/mat5_tags.hpp"

#include <sys/types.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "vexil/errors.hpp"

namespace vexil::formats::mat {

bool read_tag(const unsigned char* p, std::size_t avail, bool swap, SubElement& e) {
  if (avail < 8) return false;
  const std::uint32_t first = load_u32(p, swap);
  if (first >> 16) {  // small data element: size and type share the first word
    e.type = first & 0xFFFF;
    e.nbytes = first >> 16;
    if (e.nbytes > 4) return false;
    e.data = p + 4;
    e.total = 8;
    e.packed = true;
    return true;
  }
  e.type = first;
  e.nbytes = load_u32(p + 4, swap);
  e.data = p + 8;
  e.total = 8 + ((static_cast<std::size_t>(e.nbytes) + 7) / 8) * 8;
  e.packed = false;
  return true;
}

namespace {

// The bytes of one element's payload, in order.
class Source {
 public:
  virtual ~Source() = default;
  virtual bool read(unsigned char* out, std::size_t n) = 0;  // all n bytes, or false
  virtual bool skip(std::uint64_t n) = 0;
};

class FileSource final : public Source {
 public:
  explicit FileSource(std::FILE* f) : f_(f) {}
  bool read(unsigned char* out, std::size_t n) override { return std::fread(out, 1, n, f_) == n; }
  bool skip(std::uint64_t n) override { return ::fseeko(f_, static_cast<off_t>(n), SEEK_CUR) == 0; }

 private:
  std::FILE* f_;
};

class InflateSource final : public Source {
 public:
  InflateSource(std::FILE* f, std::uint64_t nbytes) : f_(f), left_(nbytes), in_(64 * 1024) {
    ok_ = inited_ = inflateInit(&zs_) == Z_OK;
  }
  ~InflateSource() override {
    if (inited_) inflateEnd(&zs_);
  }
  InflateSource(const InflateSource&) = delete;
  InflateSource& operator=(const InflateSource&) = delete;

  bool read(unsigned char* out, std::size_t n) override {
    zs_.next_out = out;
    zs_.avail_out = static_cast<uInt>(n);
    while (zs_.avail_out > 0) {
      if (!ok_ || ended_) return false;
      if (zs_.avail_in == 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left_, in_.size()));
        if (chunk == 0 || std::fread(in_.data(), 1, chunk, f_) != chunk) return false;
        left_ -= chunk;
        zs_.next_in = in_.data();
        zs_.avail_in = static_cast<uInt>(chunk);
      }
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END)
        ended_ = true;
      else if (rc != Z_OK)
        ok_ = false;
    }
    return true;
  }
  bool skip(std::uint64_t n) override {
    std::vector<unsigned char> sink(static_cast<std::size_t>(std::min<std::uint64_t>(n, 256 * 1024)));
    while (n > 0) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, sink.size()));
      if (!read(sink.data(), step)) return false;
      n -= step;
    }
    return true;
  }

 private:
  std::FILE* f_;
  std::uint64_t left_;
  std::vector<unsigned char> in_;
  z_stream zs_{};
  bool inited_ = false;
  bool ok_ = false;  // no stream error yet
  bool ended_ = false;
};

class Walker {
 public:
  Walker(Source& src, bool swap, const std::string& path, std::uint64_t offset, bool compressed)
      : src_(src), swap_(swap), path_(path), offset_(offset), compressed_(compressed) {}

  // The matrix whose head starts here and whose payload is `size` bytes.
  // With `finish`, the source is left at its end.
  void matrix(std::uint64_t size, int depth, bool finish) {
    if (depth > kMaxDepth) throw corrupt(fmt::format("cells or structs nested more than {} deep", kMaxDepth));
    std::uint64_t left = size;
    unsigned char buf[8];

    const SubElement flags = tag(left, size, buf);
    // matio takes the array flags as 8 bytes whatever their tag says.
    if (flags.nbytes != 8) throw corrupt(fmt::format("array flags of {} bytes, not 8", flags.nbytes));
    const std::uint32_t cls = load_u32(data(flags, buf, left).data(), swap_) & 0xFF;

    // matio skips neither a dimension list nor a name of another type
    // consistently; it would read the next tag from the wrong place.
    const SubElement dims = tag(left, size, buf);
    if (dims.type != miINT32 || dims.packed || dims.nbytes % 4 != 0)
      throw corrupt("matrix dimensions not stored as an int32 list");
    const std::vector<unsigned char> dv = data(dims, buf, left);
    unsigned __int128 count = 1;
    for (std::size_t k = 0; k + 4 <= dims.nbytes; k += 4) {
      const auto d = static_cast<std::int32_t>(load_u32(dv.data() + k, swap_));
      if (d < 0) throw corrupt("a matrix has a negative dimension");
      count = std::min<unsigned __int128>(count * static_cast<std::uint32_t>(d), UINT64_MAX);
    }

    const SubElement name = tag(left, size, buf);
    if (name.type != miINT8) throw corrupt(fmt::format("a matrix name of type {}, not int8", name.type));
    skip(name, left);

    // matio allocates a pointer per element of a cell array or handle and
    // per field of every struct element while listing, then reads each as a
    // matrix of at least 8 bytes.
    unsigned __int128 children = 0;
    if (cls == 1 || cls == 16 || cls == 17) {
      if (count * 8 > left)
        throw corrupt(
            fmt::format("a cell array or handle of {} elements in {} bytes", static_cast<std::uint64_t>(count), size));
      if (cls != 17) children = count;
    } else if (cls == 2 || cls == 3) {
      if (cls == 3) {
        const SubElement class_name = tag(left, size, buf);
        if (class_name.type != miINT8)
          throw corrupt(fmt::format("an object's class name of type {}, not int8", class_name.type));
        skip(class_name, left);
      }
      const SubElement length = tag(left, size, buf);
      if (length.type != miINT32 || length.nbytes != 4) throw corrupt("a struct's field name length is not one int32");
      const std::uint32_t each = load_u32(data(length, buf, left).data(), swap_);
      const SubElement names = tag(left, size, buf);
      if (names.type != miINT8) throw corrupt(fmt::format("struct field names of type {}, not int8", names.type));
      if (each == 0 && names.nbytes > 0) throw corrupt("struct field names of length 0");
      skip(names, left);
      const std::uint64_t fields = each ? names.nbytes / each : 0;
      children = count * fields;
      if (children * 8 > left)
        throw corrupt(fmt::format("a struct of {} elements and {} fields in {} bytes",
                                  static_cast<std::uint64_t>(count), fields, size));
    }
    for (unsigned __int128 i = 0; i < children; ++i) {
      if (left < 8) throw corrupt("a cell or field runs past its matrix");
      if (!src_.read(buf, 8)) throw broken();
      left -= 8;
      SubElement child;
      if (!read_tag(buf, 8, swap_, child) || child.packed || child.type != miMATRIX)
        throw corrupt(fmt::format("a cell or field of type {}, not a matrix", child.type));
      // matio finds the next sibling by the unpadded length.
      if (child.nbytes > left) throw corrupt("a cell or field runs past its matrix");
      matrix(child.nbytes, depth + 1, true);
      left -= child.nbytes;
    }
    if (finish && left > 0 && !src_.skip(left)) throw broken();
  }

 private:
  static constexpr int kMaxDepth = 100;

  BadInputError corrupt(const std::string& why) const {
    return BadInputError(fmt::format("MAT-file {} is corrupt: {}", path_, why));
  }
  BadInputError broken() const {
    return BadInputError(fmt::format("MAT-file {} is corrupt: the {}element at byte {} is damaged", path_,
                                     compressed_ ? "compressed " : "", offset_));
  }

  // The next tag, which with its data must fit in the `left` bytes of a
  // matrix of `size`; a packed tag's data comes with it in `buf`.
  SubElement tag(std::uint64_t& left, std::uint64_t size, unsigned char (&buf)[8]) {
    if (left < 8) throw corrupt(fmt::format("a matrix element of {} bytes ends inside its head", size));
    if (!src_.read(buf, 8)) throw broken();
    left -= 8;
    SubElement e;
    if (!read_tag(buf, 8, swap_, e)) throw corrupt("a packed part of a matrix claims more than 4 bytes");
    if (e.total - 8 > left)
      throw corrupt(fmt::format("a matrix element of {} bytes holds a {}-byte part", size, e.nbytes));
    return e;
  }
  std::vector<unsigned char> data(const SubElement& e, const unsigned char (&buf)[8], std::uint64_t& left) {
    if (e.packed) return std::vector<unsigned char>(buf + 4, buf + 4 + std::max<std::uint32_t>(e.nbytes, 4));
    std::vector<unsigned char> v(e.total - 8);
    if (!src_.read(v.data(), v.size())) throw broken();
    left -= v.size();
    v.resize(std::max<std::size_t>(e.nbytes, 4));  // a short flags word reads as zero
    return v;
  }
  void skip(const SubElement& e, std::uint64_t& left) {
    if (e.packed) return;
    if (!src_.skip(e.total - 8)) throw broken();
    left -= e.total - 8;
  }

  Source& src_;
  bool swap_;
  const std::string& path_;
  std::uint64_t offset_;
  bool compressed_;
};

}  // namespace

void check_element(std::FILE* f, std::uint64_t offset, std::uint32_t nbytes, bool compressed, bool swap,
                   const std::string& path) {
  if (!compressed) {
    FileSource src(f);
    Walker(src, swap, path, offset, false).matrix(nbytes, 0, false);
    return;
  }
  InflateSource src(f, nbytes);
  Walker walker(src, swap, path, offset, true);
  unsigned char buf[8];
  SubElement m;
  if (!src.read(buf, 8) || !read_tag(buf, 8, swap, m))
    throw BadInputError(
        fmt::format("MAT-file {} is corrupt: the compressed element at byte {} is damaged", path, offset));
  if (m.type != miMATRIX) return;  // matio reports what else it finds
  // A stream never inflates to more than this, whatever its matrix claims.
  walker.matrix(std::min<std::uint64_t>(m.nbytes, std::uint64_t{nbytes} * kDeflateMaxRatio), 0, false);
}

bool read_matrix_bytes(std::FILE* f, std::uint64_t offset, std::uint32_t nbytes, bool compressed, std::uint64_t at,
                       unsigned char* out, std::size_t n) {
  if (!compressed) {
    if (at + n > 8 + std::uint64_t{nbytes} || ::fseeko(f, static_cast<off_t>(offset + at), SEEK_SET) != 0) return false;
    return FileSource(f).read(out, n);
  }
  if (::fseeko(f, static_cast<off_t>(offset + 8), SEEK_SET) != 0) return false;
  InflateSource src(f, nbytes);
  return src.skip(at) && src.read(out, n);
}

}  // namespace vexil::formats::mat
