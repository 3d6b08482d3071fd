// The compressed bytes of both MAT writers stay what they were for fixed
// inputs and settings: the Level 5 element (zlib stream included) and every
// HDF5 chunk of a MAT 7.3 dataset. The hashes were recorded from the writers
// before they shared one worker pool and deflate back end; a change to
// chunking, priming, flushing or checksum combining shows up here even when
// every reader still decodes the values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "output/mat5_writer.hpp"
#include "output/mat73_writer.hpp"
#include "output/parallel_deflate.hpp"
#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif

namespace vexil::output {
namespace {

using test::TempDir;

std::uint64_t fnv1a(const void* data, std::size_t n, std::uint64_t h = 14695981039346656037ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// A smooth field with banded offsets and a little noise, as radiance looks:
// deflate shrinks it to roughly 0.6 of its size.
NDArray texture_cube(std::int64_t h, std::int64_t w, std::int64_t b) {
  NDArray a = NDArray::allocate(DType::UInt16, {h, w, b});
  auto* p = reinterpret_cast<std::uint16_t*>(a.mutable_data());
  std::uint32_t state = 12345;
  for (std::int64_t i = 0; i < h; ++i)
    for (std::int64_t j = 0; j < w; ++j)
      for (std::int64_t k = 0; k < b; ++k) {
        state = state * 1664525u + 1013904223u;
        const double v = 1000 + 300 * std::sin(i * 0.1) * std::cos(j * 0.07) + 40 * k + (state >> 27);
        p[(i * w + j) * b + k] = static_cast<std::uint16_t>(v);
      }
  return a;
}

// Hash of everything after the 128-byte header: the miCOMPRESSED tag and stream.
std::string level5_hash(const NDArray& a, const Mat5Options& o) {
  TempDir tmp;
  write_mat5(tmp / "x.mat", "data", a, o);
  const std::string bytes = test::read_file(tmp / "x.mat");
  return fmt::format("{:016x}", fnv1a(bytes.data() + 128, bytes.size() - 128));
}

}  // namespace

TEST(MatStreamIdentity, Level5StreamsAsRecorded) {
  const NDArray cube = texture_cube(40, 36, 24);
  const NDArray bsq = cube.transpose({2, 0, 1});
  EXPECT_EQ(level5_hash(cube, {.threads = 2, .method = DeflateMethod::Zlib, .level = 6, .block_size = 20000}),
            "689f6e6d4dd8f45b");
  EXPECT_EQ(level5_hash(bsq, {.threads = 1, .method = DeflateMethod::Zlib, .level = 1, .block_size = 7777}),
            "ea8468d78a5abf96");
  EXPECT_EQ(level5_hash(cube.window(3, 35, 5, 34), {.threads = 3, .method = DeflateMethod::Zlib, .level = 9}),
            "bd9f37f313009950");
  if (isal_available()) {
    EXPECT_EQ(level5_hash(cube, {.threads = 2, .method = DeflateMethod::Isal, .level = 2, .block_size = 65536 + 6}),
              "e4f3ca43f37651b4");
    EXPECT_EQ(level5_hash(bsq, {.threads = 3, .method = DeflateMethod::Isal, .level = 1, .block_size = 10000}),
              "ba760e1142220d44");
  }
}

#ifdef VEXIL_HAVE_HDF5
namespace {

// Hash of the stored (compressed) chunks of dataset `name`, in storage order.
std::string chunks_hash(const std::string& path, const std::string& name) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  const hid_t dset = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
  const hid_t space = H5Dget_space(dset);
  hsize_t count = 0;
  H5Dget_num_chunks(dset, space, &count);
  const int rank = H5Sget_simple_extent_ndims(space);
  std::uint64_t h = 14695981039346656037ull;
  for (hsize_t i = 0; i < count; ++i) {
    std::vector<hsize_t> offset(rank);
    unsigned mask = 0;
    haddr_t addr = 0;
    hsize_t size = 0;
    H5Dget_chunk_info(dset, space, i, offset.data(), &mask, &addr, &size);
    std::vector<unsigned char> buf(size);
    std::uint32_t filters = 0;
    H5Dread_chunk(dset, H5P_DEFAULT, offset.data(), &filters, buf.data());
    h = fnv1a(offset.data(), offset.size() * sizeof(hsize_t), h);
    h = fnv1a(buf.data(), buf.size(), h);
  }
  H5Sclose(space);
  H5Dclose(dset);
  H5Fclose(file);
  return fmt::format("{}:{:016x}", count, h);
}

std::string mat73_hash(const NDArray& a, const Mat73Options& o) {
  TempDir tmp;
  write_mat73(tmp / "x.mat", "data", a, o);
  return chunks_hash(tmp / "x.mat", "data");
}

}  // namespace

TEST(MatStreamIdentity, Mat73ChunksAsRecorded) {
  const NDArray cube = texture_cube(40, 36, 24);
  const NDArray bsq = cube.transpose({2, 0, 1});
  EXPECT_EQ(mat73_hash(cube, {.threads = 2, .method = DeflateMethod::Zlib, .level = 6, .chunk_bytes = 5000}),
            "24:f24728fdf350e46c");
  EXPECT_EQ(mat73_hash(bsq, {.threads = 1, .method = DeflateMethod::Zlib, .chunk_bytes = 3000}), "36:76d96ccb315ffc36");
  if (isal_available()) {
    EXPECT_EQ(mat73_hash(cube.window(1, 34, 2, 33), {.threads = 3, .chunk_bytes = 4096}), "12:a1876a76fbc4c09c");
  }
}
#endif

}  // namespace vexil::output
