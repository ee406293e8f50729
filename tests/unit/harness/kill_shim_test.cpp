// The kill shim itself: which calls it counts, and that each injected fault
// happens exactly at the chosen change, also for calls made from inside a
// shared library (libstdc++'s file streams), as the engine's and the vendor
// module's are.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "common/crash_child.h"
#include "common/test_dir.h"

namespace cryptlib::test {
namespace {

class KillShimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!KillShimAvailable()) GTEST_SKIP() << "the kill shim is left out under sanitizers";
  }

  // Four changes: create, write, rename, unlink of a scratch file.
  int FourChanges() const {
    std::string temp = dir_ / "a.tmp", final = dir_ / "a";
    int fd = open(temp.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0) return 1;
    ssize_t written = write(fd, "0123456789", 10);
    close(fd);
    if (written != 10) return 2;
    if (rename(temp.c_str(), final.c_str()) != 0) return 3;
    return unlink((dir_ / "gone").c_str()) == 0 ? 0 : 4;
  }

  TestDir dir_;
};

TEST_F(KillShimTest, CountsFileChangesButNotReadsOrPipes) {
  dir_.WriteFile("gone", "x");
  EXPECT_EQ(CountOperations([&] {
              int channel[2];
              if (pipe(channel) != 0 || write(channel[1], "p", 1) != 1) return 9;
              int fd = open((dir_ / "gone").c_str(), O_RDONLY);  // a read opens nothing new
              close(fd);
              return FourChanges();
            }),
            4);
}

TEST_F(KillShimTest, KillsBeforeTheChosenChange) {
  struct Case {
    long at;
    bool temp, final, gone;
  } cases[] = {
      {1, false, false, true},  // nothing created
      {3, true, false, true},   // written, not renamed
      {4, false, true, true},   // renamed, not unlinked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    dir_.WriteFile("gone", "x");
    unlink((dir_ / "a").c_str());
    ChildOutcome outcome = RunInChild(c.at, KILL_SHIM_KILL_BEFORE, [&] { return FourChanges(); });
    EXPECT_TRUE(outcome.killed);
    EXPECT_EQ(dir_.Exists("a.tmp"), c.temp);
    EXPECT_EQ(dir_.Exists("a"), c.final);
    EXPECT_EQ(dir_.Exists("gone"), c.gone);
    unlink((dir_ / "a.tmp").c_str());
  }
}

TEST_F(KillShimTest, TearsAWriteInHalf) {
  dir_.WriteFile("gone", "x");
  ChildOutcome outcome = RunInChild(2, KILL_SHIM_TEAR, [&] { return FourChanges(); });
  EXPECT_TRUE(outcome.killed);
  EXPECT_EQ(dir_.ReadFile("a.tmp"), "01234");
}

TEST_F(KillShimTest, NoSpaceFailsTheChosenWriteAndEveryLaterOne) {
  ChildOutcome outcome = RunInChild(2, KILL_SHIM_NO_SPACE, [&] {
    int fd = open((dir_ / "b").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    bool first = write(fd, "x", 1) == -1 && errno == ENOSPC;
    bool second = write(fd, "y", 1) == -1 && errno == ENOSPC;
    close(fd);
    bool renamed = rename((dir_ / "b").c_str(), (dir_ / "c").c_str()) == 0;  // a rename needs no space
    return first && second && renamed ? 0 : 1;
  });
  EXPECT_FALSE(outcome.killed);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(dir_.ReadFile("c"), "");
}

TEST_F(KillShimTest, SeesCallsMadeInsideASharedLibrary) {
  // libstdc++ opens and writes through the C library from its own code.
  auto streamWrite = [&] {
    std::ofstream out(dir_ / "s", std::ios::binary);
    out << "stream";
    out.close();
    return out ? 0 : 1;
  };
  EXPECT_EQ(CountOperations(streamWrite), 2);
  ChildOutcome outcome = RunInChild(2, KILL_SHIM_KILL_BEFORE, streamWrite);
  EXPECT_TRUE(outcome.killed);
  EXPECT_EQ(dir_.ReadFile("s"), "");
}

TEST_F(KillShimTest, StdioWritesAreCountedAndTorn) {
  ChildOutcome outcome = RunInChild(2, KILL_SHIM_TEAR, [&] {
    FILE* file = std::fopen((dir_ / "f").c_str(), "wb");
    std::fwrite("abcdefgh", 1, 8, file);
    std::fclose(file);
    return 0;
  });
  EXPECT_TRUE(outcome.killed);
  EXPECT_EQ(dir_.ReadFile("f"), "abcd");
}

}  // namespace
}  // namespace cryptlib::test
