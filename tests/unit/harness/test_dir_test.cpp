// The tests' temporary roots go away on every path: at the end of their
// scope (read-only directories inside included), at exit for roots that
// live for the whole program, and never from under the parent when a
// forked child exits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace cryptlib::test {
namespace {

namespace fs = std::filesystem;

TEST(TestDirTest, ReadOnlyDirectoriesInsideDoNotKeepTheRoot) {
  std::string path;
  {
    TestDir dir;
    path = dir.path();
    dir.WriteFile("locked/inner/file", "x");
    fs::permissions(dir / "locked/inner", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  }
  EXPECT_FALSE(fs::exists(path)) << path;
}

#ifndef _WIN32
// Runs body in a child that ends with exit(0); the child's status.
template <typename Body>
int InChild(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    std::exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TestDirTest, RootsNeverDeletedAreRemovedAtExit) {
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  ASSERT_EQ(InChild([&] {
              // Lives for the whole program, like the installation roots of the host tests.
              // (Held by a static, so a leak checker sees it reachable.)
              static TestDir* root = nullptr;
              root = new TestDir();
              root->WriteFile("EXE/module", "x");
              const std::string path = root->path() + "\n";
              if (write(channel[1], path.data(), path.size()) < 0) std::exit(2);
            }),
            0);
  close(channel[1]);
  char buffer[512] = {};
  const ssize_t got = read(channel[0], buffer, sizeof buffer - 1);
  close(channel[0]);
  ASSERT_GT(got, 0);
  const std::string path(buffer, static_cast<size_t>(got) - 1);
  EXPECT_FALSE(fs::exists(path)) << path;
}

TEST(TestDirTest, AChildThatExitsLeavesItsParentsRoots) {
  auto* lasting = new TestDir();
  TestDir scoped;
  ASSERT_EQ(InChild([] {}), 0);
  EXPECT_TRUE(fs::exists(lasting->path()));
  EXPECT_TRUE(fs::exists(scoped.path()));
  delete lasting;
}
#endif

}  // namespace
}  // namespace cryptlib::test
