// io::MappedFile: a file that shrinks while mapped gives zeros and a clear
// error instead of SIGBUS; faults outside its mappings still reach the
// handler that was there before, which is put back afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "formats/envi/envi_format.hpp"
#include "io/mapped_file.hpp"
#include "support/test_util.hpp"
#include "vexil/errors.hpp"

using vexil::io::MappedFile;
using vexil::test::error_of;
using vexil::test::TempDir;

namespace {

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
  return s;
}

struct Fd {
  int fd;
  explicit Fd(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {}
  ~Fd() { ::close(fd); }
};

std::uint64_t sum(const std::byte* p, std::size_t n) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += std::to_integer<unsigned>(p[i]);
  return s;
}

volatile sig_atomic_t g_foreign_faults = 0;
void count_fault(int) { g_foreign_faults = g_foreign_faults + 1; }

}  // namespace

TEST(MappedFile, ReadsTheFileAtAnyOffset) {
  TempDir dir;
  const std::string bytes = pattern(3 * 4096 + 100);
  vexil::test::write_file(dir / "f", bytes);
  Fd f(dir / "f");
  for (std::uint64_t offset : {0ull, 1ull, 4095ull, 4096ull, 5000ull}) {
    auto m = MappedFile::map(f.fd, dir / "f", offset, bytes.size() - offset);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->size(), bytes.size() - offset);
    EXPECT_EQ(std::memcmp(m->data(), bytes.data() + offset, m->size()), 0) << offset;
    std::vector<std::byte> copy(10);
    EXPECT_TRUE(m->copy(m->size() - 10, copy.data(), 10));
    EXPECT_EQ(std::memcmp(copy.data(), bytes.data() + bytes.size() - 10, 10), 0);
    EXPECT_FALSE(m->copy(m->size() - 9, copy.data(), 10));  // past the mapping
    // Staged through the file: rows packed back to back; nothing outside the mapping.
    const std::byte* rows = m->stage(m->data() + 3, 4, 1000, 7);
    ASSERT_NE(rows, nullptr);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(std::memcmp(rows + r * 7, bytes.data() + offset + 3 + r * 1000, 7), 0) << r;
    EXPECT_NE(m->stage(m->data() + m->size() - 10, 1, 10, 10), nullptr);
    EXPECT_EQ(m->stage(m->data() + m->size() - 9, 1, 10, 10), nullptr);
    EXPECT_EQ(m->stage(m->data(), 3, m->size() / 2, 10), nullptr);
    EXPECT_EQ(m->stage(m->data() - 1, 1, 1, 1), nullptr);
    EXPECT_FALSE(m->damaged());
    EXPECT_NO_THROW(m->check());
  }
  EXPECT_EQ(MappedFile::map(f.fd, dir / "f", 0, 0), nullptr);
}

TEST(MappedFile, ShrunkFileReadsAsZerosAndNamesTheFile) {
  TempDir dir;
  const std::size_t n = 64 * 4096 + 10;
  const std::string bytes = pattern(n);
  vexil::test::write_file(dir / "cube.img", bytes);
  Fd f(dir / "cube.img");
  auto m = MappedFile::map(f.fd, dir / "cube.img", 0, n);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(::truncate((dir / "cube.img").c_str(), 3 * 4096 + 17), 0);

  // The page holding the new end still reads the file; everything after is zeros.
  std::vector<std::byte> tail(4096);
  const std::byte* staged = m->stage(m->data() + n - 4096, 1, 4096, 4096);
  ASSERT_NE(staged, nullptr);
  EXPECT_EQ(sum(staged, 4096), 0u);  // read from the file: zeros, and marked
  EXPECT_TRUE(m->damaged());
  EXPECT_FALSE(m->copy(n - 4096, tail.data(), tail.size()));
  EXPECT_EQ(sum(tail.data(), tail.size()), 0u);
  EXPECT_TRUE(m->damaged());
  EXPECT_EQ(std::memcmp(m->data(), bytes.data(), 3 * 4096 + 17), 0);
  EXPECT_EQ(sum(m->data() + 4 * 4096, n - 4 * 4096), 0u);

  const std::string msg = error_of([&] { m->check(); });
  EXPECT_EQ(msg, dir / "cube.img" +
                     " changed while it was being read: it became shorter or could not be read, so "
                     "the data read from it are incomplete.");
  EXPECT_THROW(m->check(), vexil::ReadError);
  EXPECT_THROW(vexil::io::check_mapping_intact(m), vexil::ReadError);
  // Other storage is no business of the check.
  EXPECT_NO_THROW(vexil::io::check_mapping_intact(std::make_shared<int>(1)));
  EXPECT_NO_THROW(vexil::io::check_mapping_intact(nullptr));
}

TEST(MappedFile, EnviCubeOverAShrunkFileFailsItsCheck) {
  TempDir dir;
  const int lines = 40, samples = 50, bands = 30;
  vexil::test::write_file(
      dir / "c.hdr", "ENVI\nsamples = " + std::to_string(samples) + "\nlines = " + std::to_string(lines) +
                         "\nbands = " + std::to_string(bands) + "\ndata type = 2\ninterleave = bsq\nbyte order = 0\n");
  vexil::test::write_file(dir / "c.img", pattern(2 * lines * samples * bands));
  const auto r = vexil::formats::envi::load_envi(dir / "c.hdr");
  EXPECT_NO_THROW(vexil::io::check_mapping_intact(r.data.keep_alive()));
  ASSERT_EQ(::truncate((dir / "c.img").c_str(), 1000), 0);
  std::int64_t nonzero = 0;
  for (std::int64_t b = 0; b < bands; ++b) nonzero += r.data.at<std::int16_t>({lines - 1, samples - 1, b}) != 0;
  EXPECT_EQ(nonzero, 0);
  const std::string msg = error_of([&] { vexil::io::check_mapping_intact(r.data.window(1, 3, 2, 4).keep_alive()); });
  EXPECT_NE(msg.find(dir / "c.img" + " changed while it was being read"), std::string::npos) << msg;
}

TEST(MappedFile, ForeignFaultsReachThePreviousHandlerWhichIsPutBack) {
  struct sigaction mine {
  }, before{}, after{};
  mine.sa_handler = count_fault;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(::sigaction(SIGBUS, &mine, &before), 0);
  {
    TempDir dir;
    vexil::test::write_file(dir / "f", pattern(100));
    Fd f(dir / "f");
    auto m = MappedFile::map(f.fd, dir / "f", 0, 100);
    ASSERT_NE(m, nullptr);
    g_foreign_faults = 0;
    ::raise(SIGBUS);  // no address inside a mapping
    EXPECT_EQ(g_foreign_faults, 1);
    EXPECT_FALSE(m->damaged());
  }
  ASSERT_EQ(::sigaction(SIGBUS, &before, &after), 0);
  EXPECT_EQ(after.sa_handler, count_fault);
}
