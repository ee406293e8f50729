// The fault-injecting platform the sweeps rely on: it counts each kind of
// file operation, fails exactly the operation it is armed for (once or from
// then on), and recognises the write of a copy.
#include <gtest/gtest.h>

#include <string>

#include "common/test_dir.h"
#include "support/fileutil.h"
#include "unit/support/fault_platform.h"

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

}  // namespace
}  // namespace cryptlib
