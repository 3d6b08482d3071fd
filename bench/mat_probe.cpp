#include "mat_probe.hpp"

#include <zlib.h>

#include <cstring>
#include <fstream>

namespace bench {

namespace {

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::optional<std::vector<std::int64_t>> mat5_dims(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[136 + 4096];
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const std::streamsize got = in.gcount();
  // Little-endian files only ("IM" at byte 126), which is what is written here.
  if (got < 144 || head[126] != 'I' || head[127] != 'M' || le32(head + 128) != 15) return std::nullopt;
  // miMATRIX tag (8), array flags (16), dimensions tag (8) and up to 32 dimensions.
  unsigned char m[8 + 16 + 8 + 4 * 32] = {};
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return std::nullopt;
  zs.next_in = head + 136;
  zs.avail_in = static_cast<uInt>(got - 136);
  zs.next_out = m;
  zs.avail_out = sizeof m;
  const int rc = inflate(&zs, Z_SYNC_FLUSH);
  const std::size_t have = sizeof m - zs.avail_out;
  inflateEnd(&zs);
  if ((rc != Z_OK && rc != Z_STREAM_END) || have < 32 || le32(m) != 14 || le32(m + 24) != 5) return std::nullopt;
  const std::uint32_t bytes = le32(m + 28);
  if (bytes % 4 != 0 || bytes / 4 > 32 || have < 32 + bytes) return std::nullopt;
  std::vector<std::int64_t> dims;
  for (std::uint32_t k = 0; k < bytes / 4; ++k) {
    std::int32_t d;
    std::memcpy(&d, m + 32 + 4 * k, 4);
    dims.push_back(d);
  }
  return dims;
}

}  // namespace bench
