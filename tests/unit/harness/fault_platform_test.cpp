// The fault-injecting platform the sweeps rely on: it counts each kind of
// file operation, fails exactly the operation it is armed for (once or from
// then on), and recognises the write of a copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "common/test_dir.h"
#include "support/fileutil.h"
#include "unit/harness/fault_platform.h"

namespace cryptlib {
namespace {

using test::FaultMode;
using test::FaultOp;

class FaultPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatformForTesting(&faults_); }
  void TearDown() override { platform::SetPlatformForTesting(nullptr); }

  std::string Path(const std::string& name) const { return dir_ / name; }
  bool Write(const std::string& name, const std::string& text) {
    return platform::Os().WriteFile(Path(name), text.data(), text.size());
  }

  test::TestDir dir_;
  test::FaultPlatform faults_{platform::SystemPlatform()};
};

TEST_F(FaultPlatformTest, FailsOnlyTheArmedOperationOfItsKind) {
  faults_.Arm(FaultOp::kWrite, 2);
  EXPECT_TRUE(Write("a", "1"));
  EXPECT_TRUE(platform::Os().RenameFile(Path("a"), Path("b"))) << "another kind is not counted";
  EXPECT_FALSE(Write("c", "2"));
  EXPECT_FALSE(dir_.Exists("c")) << "a failed operation does nothing";
  EXPECT_TRUE(Write("d", "3")) << "once: the next one goes through";
  EXPECT_EQ(faults_.Count(FaultOp::kWrite), 3);
  EXPECT_EQ(faults_.Count(FaultOp::kRename), 1);
  EXPECT_EQ(faults_.Count(FaultOp::kAny), 4);
  EXPECT_EQ(faults_.Injected(), 1);
  EXPECT_EQ(faults_.Injected(FaultOp::kWrite), 1);
  EXPECT_NE(faults_.FirstInjected().find(Path("c")), std::string::npos);
}

TEST_F(FaultPlatformTest, FromThenOnFailsEveryLaterOperationAndAnyCountsAllKinds) {
  faults_.Arm(FaultOp::kAny, 2, FaultMode::kFromThenOn);
  EXPECT_TRUE(Write("a", "1"));
  EXPECT_FALSE(platform::Os().CreateDirectory(Path("sub")));
  EXPECT_FALSE(platform::Os().DeleteFile(Path("a")));
  EXPECT_TRUE(dir_.Exists("a"));
  std::string contents;
  EXPECT_FALSE(platform::Os().ReadFile(Path("a"), contents));
  EXPECT_EQ(faults_.Injected(), 3);
  faults_.Disarm();
  EXPECT_TRUE(platform::Os().DeleteFile(Path("a")));
  EXPECT_EQ(faults_.Injected(), 3) << "the counts stay readable after Disarm";
}

TEST_F(FaultPlatformTest, AFailedCopyLeavesTheTargetAsItWas) {
  ASSERT_TRUE(Write("source", "new contents"));
  ASSERT_TRUE(Write("target", "old contents"));
  faults_.Arm(FaultOp::kCopy, 0);
  ASSERT_TRUE(WriteBufferToFile(Path("other").c_str(), "x", 1));
  ASSERT_TRUE(CopyFileContents(Path("source"), Path("target")));
  EXPECT_EQ(faults_.Count(FaultOp::kCopy), 1) << "only the copy's write is a copy";
  EXPECT_EQ(faults_.Count(FaultOp::kWrite), 2);
  EXPECT_EQ(faults_.Count(FaultOp::kRead), 1);

  ASSERT_TRUE(Write("target", "old contents"));
  faults_.Arm(FaultOp::kCopy, 1);
  EXPECT_FALSE(CopyFileContents(Path("source"), Path("target")));
  EXPECT_EQ(dir_.ReadFile("target"), "old contents");
  EXPECT_EQ(faults_.Injected(FaultOp::kWrite), 1) << "the copy's write failed";
}

// The power-cut double: what survives is what was synced, content by
// SyncFile and names by SyncDirectory of their directory.
class PowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatformForTesting(&cuts_); }
  void TearDown() override { platform::SetPlatformForTesting(nullptr); }

  std::string Path(const std::string& name) const { return dir_ / name; }
  bool Write(const std::string& name, const std::string& text) {
    return platform::Os().WriteFile(Path(name), text.data(), text.size());
  }
  std::string Survivor(const std::string& name) const {
    return dir_.Exists(name) ? dir_.ReadFile(name) : std::string("(missing)");
  }

  test::TestDir dir_;
  test::PowerCutPlatform cuts_{platform::SystemPlatform()};
};

TEST_F(PowerCutTest, OnlySyncedContentUnderSyncedNamesSurvives) {
  struct Case {
    const char* what;
    std::function<void(platform::Platform&, const std::string& dir)> steps;
    std::string survivor;  // of "f", whose previous content was "old"
  };
  const Case cases[] = {
      {"written in place, never synced", [&](platform::Platform&, const std::string&) { Write("f", "new"); }, "old"},
      {"written in place and synced",
       [&](platform::Platform& os, const std::string&) {
         Write("f", "new");
         os.SyncFile(Path("f"));
       },
       "new"},
      {"renamed over, nothing synced",
       [&](platform::Platform& os, const std::string&) {
         Write("t", "new");
         os.RenameFile(Path("t"), Path("f"));
       },
       "old"},
      {"renamed over, only the directory synced: the name without its content",
       [&](platform::Platform& os, const std::string& dir) {
         Write("t", "new");
         os.RenameFile(Path("t"), Path("f"));
         os.SyncDirectory(dir);
       },
       ""},
      {"renamed over, content and directory synced",
       [&](platform::Platform& os, const std::string& dir) {
         Write("t", "new");
         os.SyncFile(Path("t"));
         os.RenameFile(Path("t"), Path("f"));
         os.SyncDirectory(dir);
       },
       "new"},
      {"deleted without a directory sync",
       [&](platform::Platform& os, const std::string&) { os.DeleteFile(Path("f")); }, "old"},
      {"the support routine's replacement",
       [&](platform::Platform&, const std::string&) { WriteBufferToFile(Path("f").c_str(), "new", 3); }, "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cuts_.Arm(-1);
    std::filesystem::remove(dir_ / "t");
    dir_.WriteFile("f", "old");
    cuts_.Arm(-1);
    c.steps(platform::Os(), dir_.path());
    cuts_.Cut();
    EXPECT_EQ(Survivor("f"), c.survivor);
    EXPECT_FALSE(dir_.Exists("t")) << "a temporary whose name was never synced";
  }
}

TEST_F(PowerCutTest, TheCutComesBeforeTheChosenChangeAndNothingWorksAfterIt) {
  cuts_.Arm(1);
  EXPECT_TRUE(Write("a", "1"));
  EXPECT_FALSE(Write("b", "2"));
  EXPECT_TRUE(cuts_.IsCut());
  std::string contents;
  EXPECT_FALSE(platform::Os().ReadFile(Path("a"), contents)) << "the process is gone";
  EXPECT_FALSE(dir_.Exists("a")) << "never synced";
  EXPECT_FALSE(dir_.Exists("b"));
  EXPECT_EQ(cuts_.Changes(), 1);
}

}  // namespace
}  // namespace cryptlib
