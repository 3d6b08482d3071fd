#include "io/paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "support/test_util.hpp"

using namespace vexil::io;

namespace {

// Runs the body with the current directory changed, restoring it afterwards.
class InDir {
 public:
  explicit InDir(const std::string& dir) {
    char buf[4096];
    if (::getcwd(buf, sizeof buf)) old_ = buf;
    EXPECT_EQ(::chdir(dir.c_str()), 0);
  }
  ~InDir() {
    if (!old_.empty()) (void)!::chdir(old_.c_str());
  }

 private:
  std::string old_;
};

}  // namespace

TEST(Splitext, LastComponentAndLeadingDots) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(splitext("cube.hdr"), P("cube", ".hdr"));
  EXPECT_EQ(splitext("C.HDR"), P("C", ".HDR"));
  EXPECT_EQ(splitext("cube.tar.gz"), P("cube.tar", ".gz"));
  EXPECT_EQ(splitext("a.b/c"), P("a.b/c", ""));
  EXPECT_EQ(splitext(".hdr"), P(".hdr", ""));
  EXPECT_EQ(splitext("..hdr"), P("..hdr", ""));
  EXPECT_EQ(splitext("..."), P("...", ""));
  EXPECT_EQ(splitext(".a.b"), P(".a", ".b"));
  EXPECT_EQ(splitext("a..b"), P("a.", ".b"));
  EXPECT_EQ(splitext("x."), P("x", "."));
  EXPECT_EQ(splitext("/d/.cube.hdr"), P("/d/.cube", ".hdr"));
  EXPECT_EQ(splitext("dir.d/"), P("dir.d/", ""));
  EXPECT_EQ(splitext("a.h5:/grp/x"), P("a.h5:/grp/x", ""));
  EXPECT_EQ(splitext(""), P("", ""));
}

TEST(Join, PythonRules) {
  EXPECT_EQ(join("out", "data.mat"), "out/data.mat");
  EXPECT_EQ(join("out/", "data.mat"), "out/data.mat");
  EXPECT_EQ(join("out//", "data.mat"), "out//data.mat");
  EXPECT_EQ(join("", "data.mat"), "data.mat");
  EXPECT_EQ(join("out", "/abs"), "/abs");
  EXPECT_EQ(join("out", ""), "out/");
  EXPECT_EQ(join("/", "x"), "/x");
}

TEST(Normpath, LexicalRules) {
  EXPECT_EQ(normpath(""), ".");
  EXPECT_EQ(normpath("//a"), "//a");
  EXPECT_EQ(normpath("//"), "//");
  EXPECT_EQ(normpath("///a//b"), "/a/b");
  EXPECT_EQ(normpath("/../x"), "/x");
  EXPECT_EQ(normpath("../../x/./y/.."), "../../x");
  EXPECT_EQ(normpath("a/.."), ".");
  EXPECT_EQ(normpath("/a/b/.."), "/a");
  EXPECT_EQ(normpath("a/b/"), "a/b");
}

TEST(Abspath, RelativeToPhysicalCwd) {
  vexil::test::TempDir tmp;
  // The temporary folder may itself lie behind a symlink (/tmp); getcwd is physical.
  std::string w;
  {
    InDir in(tmp.path());
    char buf[4096];
    ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
    w = buf;
    EXPECT_EQ(abspath("cube.hdr"), w + "/cube.hdr");
    EXPECT_EQ(abspath("C.HDR"), w + "/C.HDR");
    EXPECT_EQ(abspath("dir.d/"), w + "/dir.d");
    EXPECT_EQ(abspath("a.h5:/grp/x"), w + "/a.h5:/grp/x");
    EXPECT_EQ(abspath(""), w);
    EXPECT_EQ(abspath("."), w);
    EXPECT_EQ(abspath("a//b"), w + "/a/b");
    EXPECT_EQ(abspath("a/./b"), w + "/a/b");
    EXPECT_EQ(abspath("a/../b"), w + "/b");
    EXPECT_EQ(abspath("a/b/"), w + "/a/b");
    EXPECT_EQ(abspath("out/"), w + "/out");
    EXPECT_EQ(abspath("//a"), "//a");
    EXPECT_EQ(abspath("///a"), "/a");
    EXPECT_EQ(abspath("/../x"), "/x");
    EXPECT_EQ(abspath("/a/b/.."), "/a");
  }
  // From a directory one level below the root, ".." and "../x" reach the root.
  InDir in("/tmp");
  char buf[4096];
  ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
  if (std::string(buf) == "/tmp") {
    EXPECT_EQ(abspath(".."), "/");
    EXPECT_EQ(abspath("../x"), "/x");
  }
}

TEST(Isfile, RegularFilesOnlyLinksFollowed) {
  vexil::test::TempDir tmp;
  vexil::test::write_file(tmp / "f", "x");
  ASSERT_EQ(::symlink((tmp / "f").c_str(), (tmp / "link").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "missing").c_str(), (tmp / "broken").c_str()), 0);
  ASSERT_EQ(::symlink(tmp.path().c_str(), (tmp / "dirlink").c_str()), 0);
  EXPECT_TRUE(isfile(tmp / "f"));
  EXPECT_TRUE(isfile(tmp / "link"));
  EXPECT_FALSE(isfile(tmp / "broken"));
  EXPECT_FALSE(isfile(tmp / "dirlink"));
  EXPECT_FALSE(isfile(tmp.path()));
  EXPECT_FALSE(isfile(tmp / "missing"));
  EXPECT_FALSE(isfile(""));
  EXPECT_FALSE(isfile(tmp / "f" + std::string(1, '\0') + "x"));
}
