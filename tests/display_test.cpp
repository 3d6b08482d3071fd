#include "display/display.hpp"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_util.hpp"

namespace d = vexil::utils::display;

TEST(Display, ColoursFollowSwitch) {
  d::set_colours_enabled(true);
  EXPECT_EQ(d::BOLD, "\033[1m");
  EXPECT_EQ(d::RESET, "\033[0m");
  EXPECT_EQ(d::CYAN, "\033[36m");
  EXPECT_EQ(d::GREEN, "\033[32m");
  EXPECT_EQ(d::YELLOW, "\033[33m");
  EXPECT_EQ(d::RED, "\033[31m");
  EXPECT_EQ(d::GRAY, "\033[90m");
  EXPECT_EQ(d::c("ok", d::GREEN), "\033[32mok\033[0m");
  d::set_colours_enabled(false);
  for (const std::string* s : {&d::BOLD, &d::RESET, &d::CYAN, &d::GREEN, &d::YELLOW, &d::RED, &d::GRAY}) {
    EXPECT_EQ(*s, "");
  }
  EXPECT_EQ(d::c("ok", d::GREEN), "ok");
}

// Runs this test program again with only the probe below, either with standard
// output on a pipe or on a pseudo-terminal, and returns what the probe printed.
static std::string startup_colours(bool on_terminal, const char* no_color) {
  std::vector<std::string> env = {"VEXIL_DISPLAY_PROBE=1"};
  const std::string self = "/proc/self/exe";
  const char* filter = "--gtest_filter=Display.StartupProbe";
  if (!on_terminal) {
    if (no_color) env.push_back(std::string("NO_COLOR=") + no_color);
    auto r = vexil::test::run_program({self, filter}, "", env);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    setenv("VEXIL_DISPLAY_PROBE", "1", 1);
    if (no_color) setenv("NO_COLOR", no_color, 1); else unsetenv("NO_COLOR");
    execl(self.c_str(), self.c_str(), filter, static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_GT(pid, 0);
  if (pid <= 0) return {};
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  return out;
}

TEST(Display, StartupFollowsTerminalAndNoColor) {
  EXPECT_NE(startup_colours(false, nullptr).find("startup:[][][][][][][]"), std::string::npos);
  EXPECT_NE(startup_colours(true, nullptr)
                .find("startup:[\033[1m][\033[0m][\033[36m][\033[32m][\033[33m][\033[31m][\033[90m]"),
            std::string::npos);
  EXPECT_NE(startup_colours(true, "").find("startup:[][][][][][][]"), std::string::npos);
  EXPECT_NE(startup_colours(true, "1").find("startup:[][][][][][][]"), std::string::npos);
}

// Prints the colours as the program started with them; run only by the test above.
TEST(Display, StartupProbe) {
  if (!std::getenv("VEXIL_DISPLAY_PROBE")) GTEST_SKIP() << "probe for StartupFollowsTerminalAndNoColor";
  std::printf("startup:[%s][%s][%s][%s][%s][%s][%s]\n", d::BOLD.c_str(), d::RESET.c_str(), d::CYAN.c_str(),
              d::GREEN.c_str(), d::YELLOW.c_str(), d::RED.c_str(), d::GRAY.c_str());
}

TEST(Display, ConfigBoxAlignsByCodePoints) {
  d::set_colours_enabled(false);
  testing::internal::CaptureStdout();
  d::print_config_box("Run", "µm: 1\nlonger line");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "┌─────────────┐\n"
            "│ Run         │\n"
            "├─────────────┤\n"
            "│ µm: 1       │\n"
            "│ longer line │\n"
            "└─────────────┘\n");
}
