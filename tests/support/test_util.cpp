#include "support/test_util.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vexil::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vexil-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  write_file(path, std::string(bytes.begin(), bytes.end()));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

namespace {

std::string slurp_fd(int fd) {
  std::string s;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::vector<std::string>& env_extra) {
  std::string out_path, err_path;
  TempDir tmp;
  out_path = tmp / "stdout";
  err_path = tmp / "stderr";

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("COLUMNS=", 0) == 0 || kv.rfind("NO_COLOR=", 0) == 0) continue;
    env.push_back(kv);
  }
  for (const auto& kv : env_extra) env.push_back(kv);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> av, ev;
    for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (const auto& kv : env) ev.push_back(const_cast<char*>(kv.c_str()));
    ev.push_back(nullptr);
    execve(av[0], av.data(), ev.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  int fo = open(out_path.c_str(), O_RDONLY);
  r.out = slurp_fd(fo);
  close(fo);
  int fe = open(err_path.c_str(), O_RDONLY);
  r.err = slurp_fd(fe);
  close(fe);
  return r;
}

RunResult run_vexil(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{VEXIL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd);
}

std::string system_python_with(const std::string& modules) {
  const std::string py = VEXIL_SYSTEM_PYTHON;
  if (access(py.c_str(), X_OK) != 0) return "";
  RunResult r = run_program({py, "-c", "import " + modules});
  return r.status == 0 ? py : "";
}

int exit_status_with_file_size_limit(std::uint64_t bytes, const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit rl { static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes) };
    setrlimit(RLIMIT_FSIZE, &rl);
    int code = 99;
    try {
      code = fn();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace vexil::test
