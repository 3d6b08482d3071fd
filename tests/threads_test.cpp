// How many threads a conversion runs on: the CPU budget by default (one
// under an affinity mask of one CPU, as `taskset -c 0` sets), exactly the
// count asked for otherwise, and usage errors for counts that are none.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/worker_pool.hpp"
#include "vexil/convert.hpp"
#include "support/one_cpu.hpp"
#include "support/test_util.hpp"

namespace vexil {
namespace {

using test::OneCpu;
using test::TempDir;

int threads_now() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// Samples the process's thread count whenever the conversion reports
// progress, which the writer does from the calling thread while its pool runs.
class ThreadCounter final : public Reporter {
 public:
  void line(std::string_view) override {}
  void progress(std::string_view what, std::uint64_t, std::uint64_t) override {
    if (what.starts_with("writing")) most_ = std::max(most_, threads_now());
  }
  int most() const { return most_; }

 private:
  int most_ = 0;
};

// A 2 MiB uint16 ENVI cube: several deflate blocks for any thread count.
std::string write_cube(const TempDir& dir) {
  const int h = 128, w = 128, b = 64;
  std::string data(static_cast<std::size_t>(h) * w * b * 2, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  test::write_file(dir / "cube.img", data);
  test::write_file(dir / "cube.hdr",
                   "ENVI\nsamples = 128\nlines = 128\nbands = 64\nheader offset = 0\n"
                   "data type = 12\ninterleave = bsq\nbyte order = 0\n");
  return dir / "cube.hdr";
}

struct ThreadUse {
  int most_threads;       // during the write, the calling thread included
  std::uint64_t started;  // threads the pools started
};

ThreadUse convert_with(const std::string& image, const std::string& out, int threads) {
  ConversionRequest req;
  req.image = image;
  req.out_dir = out;
  req.threads = threads;
  ThreadCounter counter;
  const std::uint64_t before = core::WorkerPool::threads_started();
  convert(req, counter);
  return {counter.most(), core::WorkerPool::threads_started() - before};
}

}  // namespace

TEST(ConversionThreads, OneCpuMeansOneWorkerAndAskedCountsAreExact) {
  TempDir dir;
  const std::string cube = write_cube(dir);
  const int idle = threads_now();
  {
    OneCpu pinned;
    const ThreadUse r = convert_with(cube, dir / "one", 0);
    EXPECT_EQ(r.started, 0u);
    EXPECT_EQ(r.most_threads, idle);
  }
  for (int asked : {1, 3}) {
    SCOPED_TRACE(asked);
    const ThreadUse r = convert_with(cube, dir / ("t" + std::to_string(asked)), asked);
    EXPECT_EQ(r.started, static_cast<std::uint64_t>(asked - 1));
    EXPECT_EQ(r.most_threads, idle + asked - 1);
  }
  // The same bytes whichever the count.
  EXPECT_EQ(test::read_file(dir / "t1/data.mat").substr(128), test::read_file(dir / "one/data.mat").substr(128));
}

TEST(ConversionThreads, TheProgramTakesTheOptionOrTheVariable) {
  TempDir dir;
  const std::string cube = write_cube(dir);
  const auto base = std::vector<std::string>{std::string(VEXIL_BINARY), "convert_to_mat", "--img", cube, "--out-dir"};
  auto run = [&](const std::string& out, std::vector<std::string> extra, std::vector<std::string> env) {
    std::vector<std::string> argv = base;
    argv.push_back(dir / out);
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::run_program(argv, "", env);
  };
  auto r = run("a", {"--threads", "3"}, {"VEXIL_THREADS=x"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::exists(dir / "a/data.mat"));
  r = run("b", {}, {"VEXIL_THREADS=2"});
  EXPECT_EQ(r.status, 0) << r.err;

  for (const auto& [extra, env, names] :
       {std::tuple{std::vector<std::string>{"--threads", "0"}, std::vector<std::string>{}, "argument --threads"},
        std::tuple{std::vector<std::string>{"--threads", "-2"}, std::vector<std::string>{}, "argument --threads"},
        std::tuple{std::vector<std::string>{"--threads", "abc"}, std::vector<std::string>{}, "argument --threads"},
        std::tuple{std::vector<std::string>{}, std::vector<std::string>{"VEXIL_THREADS=x"}, "VEXIL_THREADS"}}) {
    SCOPED_TRACE(names);
    r = run("bad", extra, env);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(names), std::string::npos) << r.err;
    EXPECT_FALSE(test::exists(dir / "bad"));
  }
}

}  // namespace vexil
