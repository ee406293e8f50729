#include "support/rootpath.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>

#include "common/test_dir.h"
#include "support/exceptions.h"

namespace cryptlib {
namespace {

namespace fs = std::filesystem;
using platform::Os;
using test::TestDir;
using ::testing::ElementsAre;

// Every test starts without a root and leaves the search path as it was.
class RootPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQamRootForTesting();
    hadPath_ = Os().GetEnvironment(platform::SearchPathVariable(), savedPath_);
  }
  void TearDown() override {
    ResetQamRootForTesting();
    Os().SetEnvironment(platform::SearchPathVariable(), hadPath_ ? savedPath_ : "");
  }
  static std::string SearchPath() {
    std::string value;
    Os().GetEnvironment(platform::SearchPathVariable(), value);
    return value;
  }

 private:
  bool hadPath_ = false;
  std::string savedPath_;
};

TEST_F(RootPathTest, RootIsSetOnceIgnoringTheTrailingDelimiter) {
  EXPECT_EQ(QamRoot(), "");
  SetQamRoot("C:\\Client");
  EXPECT_EQ(QamRoot(), "C:\\Client\\");
  EXPECT_NO_THROW(SetQamRoot("C:\\Client\\"));
  EXPECT_NO_THROW(SetQamRoot("C:\\Client"));
  EXPECT_THAT(SearchDirectories(), ElementsAre("C:\\Client\\EXE\\", "C:\\Client\\SYSTEM\\", "C:\\Client\\USER\\"));
  try {
    SetQamRoot("D:\\Other");
    FAIL() << "a second root was accepted";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Could not set QamRoot to 'D:\\Other'. Already set to 'C:\\Client\\'.");
    EXPECT_EQ(error.ClassName(), "Exception");
  }
  EXPECT_THROW(SetQamRoot("c:\\client"), Exception);
  EXPECT_EQ(QamRoot(), "C:\\Client\\");
  EXPECT_EQ(SearchDirectories().size(), 3u);
}

TEST_F(RootPathTest, EmptyRootIsTheDelimiter) {
  SetQamRoot("");
  EXPECT_EQ(QamRoot(), "\\");
  EXPECT_EQ(SearchDirectories().front(), "\\EXE\\");
}

TEST_F(RootPathTest, SearchPathStartsWithUserSystemExe) {
  TestDir root;
  Os().SetEnvironment(platform::SearchPathVariable(), "old-entry");
  SetQamRoot(root.path());
  const std::string sep(1, platform::SearchPathSeparator());
  const std::string prefix = root.path() + "\\";
  EXPECT_EQ(SearchPath(), platform::NativePath(prefix + "USER\\") + sep + platform::NativePath(prefix + "SYSTEM\\") +
                              sep + platform::NativePath(prefix + "EXE\\") + sep + "old-entry");
  // Setting the same root again does not add the directories twice.
  const std::string once = SearchPath();
  SetQamRoot(root.path() + "\\");
  EXPECT_EQ(SearchPath(), once);
}

TEST_F(RootPathTest, EmptySearchPathGetsNoTrailingSeparator) {
  TestDir root;
  Os().SetEnvironment(platform::SearchPathVariable(), "");
  SetQamRoot(root.path());
  const std::string value = SearchPath();
  ASSERT_FALSE(value.empty());
  EXPECT_NE(value.back(), platform::SearchPathSeparator());
  EXPECT_TRUE(value.ends_with(platform::NativePath(root.path() + "\\EXE\\"))) << value;
#ifndef _WIN32
  // The system reads native paths from the variable.
  EXPECT_EQ(value.find('\\'), std::string::npos) << value;
#endif
}

#ifndef _WIN32
// A drive root the platform does not map has no native form: the search path
// must not gain empty entries, which the system would read as the current
// directory.
TEST_F(RootPathTest, UnmappedDriveRootAddsNoEmptySearchPathEntries) {
  unsetenv("CRYPTLIB_DRIVE_Q");
  Os().SetEnvironment(platform::SearchPathVariable(), "old-entry");
  SetQamRoot("Q:\\Client");
  EXPECT_EQ(SearchPath(), "old-entry");
  EXPECT_EQ(SearchDirectories().size(), 3u);
}
#endif

// Pretends the host executable lives in a chosen directory and records what
// the loader is asked for; only paths under loadableDirectory load.
class FakeHost : public platform::PlatformWrapper {
 public:
  FakeHost() : PlatformWrapper(platform::SystemPlatform()) {}
  std::string executable;
  std::string engineLibrary;
  std::string loadableDirectory = "none";
  std::vector<std::string> loads;

  std::string LoadedModulePath(const char* moduleName) override {
    if (moduleName == nullptr) return executable;
    return std::string(moduleName) == "CryptLib.dll" ? engineLibrary : executable;
  }
  platform::ModuleHandle LoadModule(const std::string& name, std::string* error) override {
    loads.push_back(name);
    if (name.starts_with(loadableDirectory)) return this;
    if (error != nullptr) *error = "cannot load " + name;
    return nullptr;
  }
};

class LibrarySearchTest : public RootPathTest {
 protected:
  void SetUp() override {
    RootPathTest::SetUp();
    host_.executable = (dir_ / "bin") + "/host";
    host_.engineLibrary = (dir_ / "engine") + "/CryptLib.so";
    dir_.MakeDir("bin");
    SetQamRoot(dir_ / "root");
    platform::SetPlatformForTesting(&host_);
  }
  void TearDown() override {
    platform::SetPlatformForTesting(nullptr);
    RootPathTest::TearDown();
  }
  // Places the platform's file for a module name in a directory of the test.
  void InstallModule(const std::string& relativeDirectory, const std::string& name) {
    dir_.WriteFile(relativeDirectory + "/" + platform::ModuleFileNameFor(name), "module");
  }

  TestDir dir_;
  FakeHost host_;
};

TEST_F(LibrarySearchTest, PrefersTheExecutablesDirectory) {
  InstallModule("bin", "mplug2.dll");
  InstallModule("root/EXE", "mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("mplug2.dll"), (dir_ / "bin") + "/mplug2.dll");
}

TEST_F(LibrarySearchTest, ThenSearchesRootDirectoriesInOrder) {
  InstallModule("root/USER", "mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("mplug2.dll"), (dir_ / "root") + "\\USER\\mplug2.dll");
  InstallModule("root/SYSTEM", "mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("mplug2.dll"), (dir_ / "root") + "\\SYSTEM\\mplug2.dll");
  InstallModule("root/EXE", "mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("mplug2.dll"), (dir_ / "root") + "\\EXE\\mplug2.dll");
}

TEST_F(LibrarySearchTest, LeavesUnfoundOrQualifiedNamesAlone) {
  dir_.MakeDir("bin/" + platform::ModuleFileNameFor("mplug.dll"));
  EXPECT_EQ(ResolveLibraryPath("mplug.dll"), "mplug.dll");
  InstallModule("bin", "mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("sub\\mplug2.dll"), "sub\\mplug2.dll");
  EXPECT_EQ(ResolveLibraryPath("./mplug2.dll"), "./mplug2.dll");
}

TEST_F(LibrarySearchTest, VendorLibraryFallsBackBesideTheEngine) {
  host_.loadableDirectory = dir_ / "engine";
  std::string error;
  EXPECT_EQ(LoadVendorLibrary("mplugf.dll", &error), &host_);
  EXPECT_THAT(host_.loads, ElementsAre("mplugf.dll", (dir_ / "engine") + "/mplugf.dll"));
}

TEST_F(LibrarySearchTest, VendorLibraryFoundFirstIsNotLoadedTwice) {
  InstallModule("bin", "mplug2.dll");
  host_.loadableDirectory = dir_ / "bin";
  EXPECT_EQ(LoadVendorLibrary("mplug2.dll"), &host_);
  EXPECT_THAT(host_.loads, ElementsAre((dir_ / "bin") + "/mplug2.dll"));
}

TEST_F(LibrarySearchTest, VendorLibraryFailureReportsTheLoader) {
  std::string error;
  EXPECT_EQ(LoadVendorLibrary("mplug.dll", &error), nullptr);
  EXPECT_EQ(error, "cannot load " + (dir_ / "engine") + "/mplug.dll");
  host_.engineLibrary.clear();
  host_.loads.clear();
  EXPECT_EQ(LoadVendorLibrary("mplug.dll"), nullptr);
  EXPECT_THAT(host_.loads, ElementsAre("mplug.dll"));
}

}  // namespace
}  // namespace cryptlib
