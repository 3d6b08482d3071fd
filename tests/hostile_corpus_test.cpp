// Every hostile input of the corpus through the real program: a clear
// one-line error and status 1 (2 for usage errors), within a time bound and a
// memory bound, no sanitizer report, and nothing left in the file system.
// Also: SIGINT/SIGTERM while a large cube is being written leave no file.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "hostile/corpus.hpp"
#include "support/test_util.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_ASAN 1
#endif
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vexil::hostile::Case;
using vexil::hostile::Mount;
using vexil::hostile::Prepared;

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  std::string err;
};

struct Limits {
  std::uint64_t memory_bytes = 0;
  std::uint64_t fsize = 0;
  int seconds = 30;
};

std::string slurp(const std::string& path) { return vexil::hostile::slurp(path); }

// fork + limits + exec. The address-space limit cannot apply under ASan (its
// shadow memory alone reserves terabytes of address space), so there the
// allocator's own limits stand in: no single allocation and no resident
// size beyond the bound, either of which ASan reports and the check below sees.
Outcome run_limited(const std::vector<std::string>& args, const std::string& cwd, const Limits& lim,
                    const std::string& scratch) {
  const std::string out_path = scratch + "/stdout", err_path = scratch + "/stderr";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("COLUMNS=", 0) == 0 || kv.rfind("NO_COLOR=", 0) == 0 || kv.rfind("ASAN_OPTIONS=", 0) == 0 ||
        kv.rfind("UBSAN_OPTIONS=", 0) == 0)
      continue;
    env.push_back(kv);
  }
  const std::uint64_t mb = lim.memory_bytes >> 20;
  env.push_back(
      "ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:allocator_may_return_null=0:"
      "max_allocation_size_mb=" +
      std::to_string(mb) + ":hard_rss_limit_mb=" + std::to_string(mb + 512));
  env.push_back("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1");

  std::vector<std::string> argv{VEXIL_BINARY, "convert_to_mat"};
  argv.insert(argv.end(), args.begin(), args.end());

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    rlimit cpu{static_cast<rlim_t>(lim.seconds + 5), static_cast<rlim_t>(lim.seconds + 10)};
    setrlimit(RLIMIT_CPU, &cpu);
    rlimit core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
#ifndef HOSTILE_ASAN
    rlimit as{lim.memory_bytes, lim.memory_bytes};
    setrlimit(RLIMIT_AS, &as);
#endif
    if (lim.fsize) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of killing
      rlimit fsz{lim.fsize, lim.fsize};
      setrlimit(RLIMIT_FSIZE, &fsz);
    }
    std::vector<char*> av, ev;
    for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (const auto& kv : env) ev.push_back(const_cast<char*>(kv.c_str()));
    ev.push_back(nullptr);
    execve(av[0], av.data(), ev.data());
    _exit(127);
  }
  Outcome r;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lim.seconds);
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.err = slurp(err_path);
  return r;
}

// Every path below `root` with its content (files), or a marker (folders, others).
std::map<std::string, std::string> snapshot(const std::string& root, std::uint64_t* total = nullptr) {
  std::map<std::string, std::string> m;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const auto st = it->symlink_status(ec);
    const std::string rel = fs::relative(it->path(), root, ec).string();
    if (fs::is_regular_file(st)) {
      const auto size = fs::file_size(it->path(), ec);
      if (total) *total += size;
      m[rel] = size <= (1u << 20) ? slurp(it->path().string()) : "<" + std::to_string(size) + " bytes>";
    } else {
      m[rel] = fs::is_directory(st) ? "<dir>" : "<other>";
    }
  }
  return m;
}

// A tmpfs on `path` for the duration of a case; empty reason when it worked.
struct TmpfsMount {
  std::string path, reason;
  bool mounted = false;
  TmpfsMount(const std::string& p, Mount kind) : path(p) {
    fs::create_directories(path);
    const char* opts = kind == Mount::Full ? "size=64k" : "size=1m";
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, opts) != 0) {
      reason = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
      return;
    }
    mounted = true;
    if (kind == Mount::ReadOnly && ::mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, opts) != 0)
      reason = std::string("cannot make the tmpfs read-only: ") + std::strerror(errno);
  }
  ~TmpfsMount() {
    if (mounted) ::umount2(path.c_str(), MNT_DETACH);
  }
};

int count_lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

class HostileCorpus : public ::testing::TestWithParam<Case> {};

TEST_P(HostileCorpus, EndsWithOneClearErrorAndLeavesNothing) {
  vexil::test::TempDir td;
  const std::string dir = td.path() + "/case";
  const std::string scratch = td.path() + "/run";
  fs::create_directories(dir);
  fs::create_directories(scratch);

  const Prepared p = GetParam().make(dir);
  if (!p.skip.empty()) GTEST_SKIP() << p.skip;

  std::optional<TmpfsMount> mnt;
  if (p.mount != Mount::None) {
    mnt.emplace(dir + "/mnt", p.mount);
    if (!mnt->reason.empty()) GTEST_SKIP() << mnt->reason;
  }

  std::uint64_t input_bytes = 0;
  const auto before = snapshot(dir, &input_bytes);
  const std::string out = dir + "/" + p.out_name;
  std::vector<std::string> args = p.args;
  for (auto& a : args)
    if (a == "@OUT") a = out;

  Limits lim;
  lim.memory_bytes = 4 * input_bytes + (1ull << 30);
  lim.fsize = p.fsize_limit;
  lim.seconds = p.seconds;
  const Outcome r = run_limited(args, p.run_in_case_dir ? dir : "", lim, scratch);

  ASSERT_FALSE(r.timed_out) << "no end within " << p.seconds << " s";
  for (const char* bad : {"Sanitizer", "runtime error:", "terminate called", "Segmentation fault", "core dumped",
                          "error: out of memory", "HDF5-DIAG", "Traceback"})
    EXPECT_EQ(r.err.find(bad), std::string::npos) << "stderr holds \"" << bad << "\":\n" << r.err.substr(0, 4000);
  if (p.may_succeed && r.status == 0) {
    // A lenient reader took it: then the run must be complete, with no temporary file.
    for (const char* f : {"data.mat", "metadata.json"}) EXPECT_TRUE(fs::is_regular_file(out + "/" + f)) << f;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(out, ec))
      EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    return;
  }
  EXPECT_EQ(r.status, p.status) << r.err.substr(0, 4000);

  // One error line; a few messages carry a second line of their own (a hint,
  // the datasets there are), never a library's report or a trace.
  const std::string prefix = "vexil convert_to_mat: error: ";
  if (p.status == 1) {
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err.substr(0, 4000);
    EXPECT_TRUE(count_lines(r.err) >= 1 && count_lines(r.err) <= 2) << "not one error:\n" << r.err.substr(0, 4000);
  } else {
    EXPECT_EQ(r.err.rfind("usage: vexil convert_to_mat", 0), 0u) << r.err.substr(0, 4000);
    EXPECT_NE(r.err.find("\n" + prefix), std::string::npos) << r.err.substr(0, 4000);
  }
  EXPECT_LT(r.err.size(), 8192u) << "an error message of " << r.err.size() << " bytes";

  // Nothing new but (after a failed write) the output folder itself; nothing changed.
  const auto after = snapshot(dir);
  for (const auto& [path, content] : before) {
    auto it = after.find(path);
    EXPECT_TRUE(it != after.end() && it->second == content) << path << " was changed or removed";
  }
  const std::string out_rel = fs::relative(out, dir).string();
  for (const auto& [path, content] : after) {
    if (before.count(path)) continue;
    const bool allowed = p.out_created_ok && path == out_rel && content == "<dir>";
    EXPECT_TRUE(allowed) << "left behind: " << path;
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string n = info.param.name;
  for (auto& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(All, HostileCorpus, ::testing::ValuesIn(vexil::hostile::all_cases()), case_name);

TEST(HostileCorpusSize, HoldsAtLeastTwoHundredInputs) { EXPECT_GE(vexil::hostile::all_cases().size(), 200u); }

// ---------------------------------------------------------------- interrupts

// A 256 MB cube of noise (it compresses slowly); interrupted as soon as the
// temporary data.mat shows up and has grown.
void interrupt_during_write(int sig) {
  vexil::test::TempDir td;
  const std::string dir = td.path();
  const int lines = 1024, samples = 1024, bands = 128;
  {
    std::ofstream hdr(dir + "/big.hdr");
    hdr << "ENVI\nsamples = " << samples << "\nlines = " << lines << "\nbands = " << bands
        << "\nheader offset = 0\ndata type = 2\ninterleave = bsq\nbyte order = 0\n";
    std::ofstream img(dir + "/big.img", std::ios::binary);
    vexil::hostile::Rng rng(99);
    std::vector<std::uint64_t> block(1 << 16);
    const std::uint64_t total = std::uint64_t{2} * lines * samples * bands;
    for (std::uint64_t done = 0; done < total; done += block.size() * 8) {
      for (auto& v : block) v = rng.next();
      img.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
  }
  const std::string out = dir + "/out";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    execl(VEXIL_BINARY, VEXIL_BINARY, "convert_to_mat", "--img", (dir + "/big.hdr").c_str(), "--out-dir", out.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  bool sent = false;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the run did not end";
    }
    std::error_code ec;
    if (!sent && fs::is_directory(out, ec)) {
      for (const auto& e : fs::directory_iterator(out, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(".data.mat.tmp", 0) == 0 && e.file_size(ec) > (1u << 20)) {
          kill(pid, sig);
          sent = true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(sent) << "the write ended before a growing temporary file was seen";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(out, ec)) left.push_back(e.path().filename().string());
  EXPECT_TRUE(left.empty()) << "left behind: " << (left.empty() ? "" : left.front());
}

// The cube's data file is cut to a quarter while data.mat is being written
// from its memory map: the run ends with an error naming the file, not
// SIGBUS, and leaves no output behind.
TEST(HostileShrink, DataFileTruncatedDuringWriteEndsInAClearError) {
  vexil::test::TempDir td;
  const std::string dir = td.path();
  const int lines = 1024, samples = 512, bands = 128;
  const std::uint64_t total = std::uint64_t{2} * lines * samples * bands;
  {
    std::ofstream hdr(dir + "/big.hdr");
    hdr << "ENVI\nsamples = " << samples << "\nlines = " << lines << "\nbands = " << bands
        << "\nheader offset = 0\ndata type = 2\ninterleave = bsq\nbyte order = 0\n";
    std::ofstream img(dir + "/big.img", std::ios::binary);
    vexil::hostile::Rng rng(98);
    std::vector<std::uint64_t> block(1 << 16);
    for (std::uint64_t done = 0; done < total; done += block.size() * 8) {
      for (auto& v : block) v = rng.next();
      img.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
  }
  const std::string out = dir + "/out";
  const std::string err_path = dir + "/stderr";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(err_fd, 2);
    execl(VEXIL_BINARY, VEXIL_BINARY, "convert_to_mat", "--img", (dir + "/big.hdr").c_str(), "--out-dir", out.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  bool cut = false;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the run did not end";
    }
    std::error_code ec;
    if (!cut && fs::is_directory(out, ec)) {
      for (const auto& e : fs::directory_iterator(out, ec)) {
        if (e.path().filename().string().rfind(".data.mat.tmp", 0) == 0 && e.file_size(ec) > 0) {
          ASSERT_EQ(::truncate((dir + "/big.img").c_str(), static_cast<off_t>(total / 4)), 0);
          cut = true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(cut) << "the write ended before a growing temporary file was seen";
  const std::string err = slurp(err_path);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << "\n" << err;
  EXPECT_EQ(WEXITSTATUS(status), 1) << err;
  EXPECT_NE(err.find(dir + "/big.img changed while it was being read"), std::string::npos) << err;
  EXPECT_EQ(count_lines(err), 1) << err;
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(out, ec)) left.push_back(e.path().filename().string());
  EXPECT_TRUE(left.empty()) << "left behind: " << (left.empty() ? "" : left.front());
}

TEST(HostileInterrupt, SigintDuringWriteLeavesNoFile) { interrupt_during_write(SIGINT); }
TEST(HostileInterrupt, SigtermDuringWriteLeavesNoFile) { interrupt_during_write(SIGTERM); }

}  // namespace
