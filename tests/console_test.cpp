// The program's console: when it colours, its progress line on a terminal,
// and the hint for a missing reader library.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/console_reporter.hpp"
#include "app/convert_command.hpp"
#include "app/progress_line.hpp"
#include "formats/libraries.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::app;

TEST(ColourRule, TerminalNoColorAndDumbTerminals) {
  EXPECT_TRUE(colour_wanted(true, nullptr, nullptr));
  EXPECT_TRUE(colour_wanted(true, nullptr, "xterm-256color"));
  EXPECT_FALSE(colour_wanted(false, nullptr, "xterm"));
  // no-color.org: only a NO_COLOR that is present and not empty turns colour off.
  EXPECT_TRUE(colour_wanted(true, "", "xterm"));
  EXPECT_FALSE(colour_wanted(true, "1", "xterm"));
  EXPECT_FALSE(colour_wanted(true, "0", nullptr));
  EXPECT_FALSE(colour_wanted(true, nullptr, "dumb"));
  EXPECT_TRUE(colour_wanted(true, nullptr, "dumber"));
}

namespace {

// Runs the program on a pseudo-terminal (or a pipe) with a run that fails
// after its first lines, and returns what it printed.
std::string first_lines(bool on_terminal, const std::vector<std::string>& env) {
  const std::vector<std::string> args = {VEXIL_BINARY, "convert_to_mat",  "--img", "/nonexistent/cube.hdr",
                                         "--out-dir",  "/nonexistent/out"};
  if (!on_terminal) return test::run_program(args, "", env).out;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    unsetenv("NO_COLOR");
    setenv("TERM", "xterm", 1);
    for (const auto& kv : env) putenv(const_cast<char*>(kv.c_str()));
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
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
  return out;
}

}  // namespace

TEST(ConsoleColours, OnlyOnAColourTerminal) {
  const std::string bold_heading = "\033[1mLoading image:\033[0m";
  EXPECT_NE(first_lines(true, {}).find(bold_heading), std::string::npos);
  EXPECT_NE(first_lines(true, {"NO_COLOR="}).find(bold_heading), std::string::npos);
  EXPECT_EQ(first_lines(true, {"NO_COLOR=1"}).find("\033["), std::string::npos);
  EXPECT_EQ(first_lines(true, {"TERM=dumb"}).find("\033["), std::string::npos);
  const std::string piped = first_lines(false, {});
  EXPECT_NE(piped.find("  Loading image: /nonexistent/cube.hdr\n"), std::string::npos) << piped;
  EXPECT_EQ(piped.find("\033["), std::string::npos);
}

TEST(ProgressLine, ShowsAfterASecondAndErasesItself) {
  EXPECT_EQ(progress_text("writing data.mat", 512 << 20, 1024 << 20, 2.0), "  writing data.mat:  50%  256.0 MB/s");

  ProgressLine::set_force_enabled_for_testing(1);
  testing::internal::CaptureStderr();
  {
    ProgressLine p("writing data.mat", 1000);
    p.update(100);  // too early: nothing yet
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    p.update(600);
    p.update(700);  // within the refresh interval: not redrawn
  }
  const std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(shown.substr(0, 4), "\r\x1b[K");
  EXPECT_NE(shown.find("writing data.mat:  60%"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("70%"), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\x1b[K") << "the line was not erased";

  // Not a terminal: nothing at all.
  ProgressLine::set_force_enabled_for_testing(0);
  testing::internal::CaptureStderr();
  {
    ProgressLine p("writing data.mat", 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    p.update(600);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ProgressLine::set_force_enabled_for_testing(-1);
}

TEST(MissingDependency, HintNamesTheLibraryAndItsPackage) {
  formats::set_library_missing_for_testing("gdal", true);
  try {
    formats::require_library("gdal");
    FAIL() << "no error";
  } catch (const MissingDependencyError& e) {
    EXPECT_EQ(missing_dependency_hint(Palette::plain(), e),
              "\n"
              "  Missing dependency: gdal\n"
              "  Install it with:  apt-get install libgdal-dev  (then rebuild vexil)\n"
              "  Or install all convert deps:  scripts/install-deps.sh\n"
              "\n");
    const Palette ansi = Palette::ansi();
    const std::string coloured = missing_dependency_hint(ansi, e);
    EXPECT_EQ(coloured.substr(0, coloured.find("\n  Install")),
              "\n" + ansi.red + ansi.bold + "  Missing dependency: gdal" + ansi.reset);
  }
  formats::set_library_missing_for_testing("gdal", false);
#ifdef VEXIL_HAVE_GDAL
  EXPECT_NO_THROW(formats::require_library("gdal"));
#endif
  EXPECT_THROW(formats::require_library("zstd"), MissingDependencyError);
}
