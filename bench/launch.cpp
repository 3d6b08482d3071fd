// vexil_bench_launch: runs a command and writes its exit status and resource
// use to file descriptor 3 as "status user_s sys_s maxrss_kib".
//
// Why a separate program: a process's peak RSS (ru_maxrss) keeps the
// high-water mark of every memory image it had, including the one it was
// started from. A command started straight from the benchmark would inherit
// the benchmark's mark (cubes it mapped, GDAL's caches). This small program
// forks the command from its own small image, so the figure is the
// command's own (plus this program's few hundred KiB at the fork).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: vexil_bench_launch COMMAND [ARG...]  (result on fd 3)\n", stderr);
    return 2;
  }
  if (fcntl(3, F_SETFD, FD_CLOEXEC) != 0) {
    std::fputs("vexil_bench_launch: file descriptor 3 is not open\n", stderr);
    return 2;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("vexil_bench_launch: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "vexil_bench_launch: cannot run %s: %s\n", argv[1], std::strerror(errno));
    _exit(127);
  }
  // Ctrl-C reaches the whole process group; the command decides what to do.
  std::signal(SIGINT, SIG_IGN);
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) {
      std::perror("vexil_bench_launch: wait4");
      return 2;
    }
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  char line[128];
  const int n =
      std::snprintf(line, sizeof line, "%d %ld.%06ld %ld.%06ld %ld\n", code, static_cast<long>(ru.ru_utime.tv_sec),
                    static_cast<long>(ru.ru_utime.tv_usec), static_cast<long>(ru.ru_stime.tv_sec),
                    static_cast<long>(ru.ru_stime.tv_usec), ru.ru_maxrss);
  if (n <= 0 || write(3, line, static_cast<std::size_t>(n)) != n) return 2;
  return 0;
}
