#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

extern char** environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

// posix_spawn starts the child on this process's memory until it execs, and
// exec carries that memory's high-water mark into the child's ru_maxrss.
// Resetting our own mark to our current RSS keeps cubes this program mapped
// or wrote earlier out of the child's figure.
void reset_own_peak_rss() {
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

std::vector<std::string> merged_environment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [k, v] : extra)
      if (entry.size() > k.size() && entry.substr(0, k.size()) == k && entry[k.size()] == '=') replaced = true;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [k, v] : extra) env.push_back(k + "=" + v);
  return env;
}

std::string& launcher_path() {
  static std::string path;
  return path;
}

}  // namespace

void set_launcher(const std::string& path) { launcher_path() = path; }
bool has_launcher() { return !launcher_path().empty(); }

std::string shell_line(const std::vector<std::string>& argv) {
  std::string s;
  for (const auto& a : argv) {
    if (!s.empty()) s += ' ';
    const bool plain = !a.empty() && a.find_first_not_of(
                                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789_-+=/.,:@%") == std::string::npos;
    if (plain) {
      s += a;
      continue;
    }
    s += '\'';
    for (char c : a) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    s += '\'';
  }
  return s;
}

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options) {
  if (argv.empty()) throw std::invalid_argument("run_process: empty command");
  // Files written just before (an input this program made, an earlier
  // run's outputs) are still being written back to disk; that kernel work
  // would otherwise land in whichever command runs next.
  ::sync();
  const bool launched = has_launcher();
  int out_pipe[2], err_pipe[2], res_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(err_pipe, O_CLOEXEC) != 0 || (launched && pipe2(res_pipe, O_CLOEXEC) != 0)) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  if (launched) posix_spawn_file_actions_adddup2(&fa, res_pipe[1], 3);
  std::vector<char*> args;
  if (launched) args.push_back(launcher_path().data());
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env_text = merged_environment(options.env);
  std::vector<char*> env;
  for (const auto& e : env_text) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  reset_own_peak_rss();
  RunResult r;
  const auto t0 = Clock::now();
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (launched) ::close(res_pipe[1]);
  if (rc != 0) {
    for (int fd : {out_pipe[0], err_pipe[0], res_pipe[0]})
      if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot start " + std::string(args[0]) + ": " + std::strerror(rc));
  }

  // Both pipes are drained together, so a child that fills one while we
  // wait on the other cannot stall. Output lines are stamped as they arrive.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  std::size_t line_start = 0;
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
        continue;
      }
      sinks[k]->append(buf, static_cast<std::size_t>(n));
      if (k == 0 && !options.mark_text.empty() && r.t_mark < 0) {
        const double now = std::chrono::duration<double>(Clock::now() - t0).count();
        for (std::size_t nl; (nl = r.out.find('\n', line_start)) != std::string::npos; line_start = nl + 1) {
          if (std::string_view(r.out.data() + line_start, nl - line_start).find(options.mark_text) !=
              std::string_view::npos) {
            r.t_mark = now;
            break;
          }
        }
      }
    }
  }
  r.t_output_end = std::chrono::duration<double>(Clock::now() - t0).count();
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.user = seconds(ru.ru_utime);
  r.sys = seconds(ru.ru_stime);
  r.peak_rss = static_cast<std::uint64_t>(ru.ru_maxrss) * 1024u;  // KiB on Linux
  if (launched) {
    // The launcher's report replaces its own figures with the command's.
    char line[256] = {};
    ssize_t n;
    while ((n = ::read(res_pipe[0], line, sizeof line - 1)) < 0 && errno == EINTR) {
    }
    ::close(res_pipe[0]);
    int code = -1;
    double user = 0, sys = 0;
    long long maxrss = 0;
    if (r.status != 0 || n <= 0 || std::sscanf(line, "%d %lf %lf %lld", &code, &user, &sys, &maxrss) != 4)
      throw std::runtime_error(
          fmt::format("the launcher failed (status {}) running {}:\n{}", r.status, shell_line(argv), r.err));
    r.status = code;
    r.user = user;
    r.sys = sys;
    r.peak_rss = static_cast<std::uint64_t>(maxrss) * 1024u;
  }
  return r;
}

}  // namespace bench
