#include "support/fileutil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>

#include "common/test_dir.h"
#include "platform/platform.h"

namespace cryptlib {
namespace {

namespace fs = std::filesystem;
using platform::Os;
using test::TestDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Installs a platform for the test's lifetime and restores the system's.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(platform::Platform& platform) { platform::SetPlatformForTesting(&platform); }
  ~ScopedPlatform() { platform::SetPlatformForTesting(nullptr); }
};

// Fails every write (WriteFile, CreatePrivateFile) or RenameFile on request
// and records what was asked, syncs included, in order.
class FailingFiles : public platform::PlatformWrapper {
 public:
  FailingFiles() : PlatformWrapper(platform::SystemPlatform()) {}
  bool failWrite = false;
  bool failRename = false;
  std::vector<std::string> written;
  std::vector<std::string> renamedFrom;
  std::vector<std::string> steps;  // "create <path>", "sync <path>", "rename <path>", "syncdir <path>"

  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override {
    written.push_back(path);
    steps.push_back("create " + path);
    // Failing, the call leaves no file (it removes what it could not fill).
    return !failWrite && PlatformWrapper::CreatePrivateFile(path, data, size);
  }
  bool SyncFile(const std::string& path) override {
    steps.push_back("sync " + path);
    return PlatformWrapper::SyncFile(path);
  }
  bool SyncDirectory(const std::string& path) override {
    steps.push_back("syncdir " + path);
    return PlatformWrapper::SyncDirectory(path);
  }

  bool WriteFile(const std::string& path, const void* data, size_t size) override {
    written.push_back(path);
    // A failed write may leave a partial file behind, as a full disk does.
    if (!failWrite) return PlatformWrapper::WriteFile(path, data, size);
    PlatformWrapper::WriteFile(path, "par", 3);
    return false;
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    renamedFrom.push_back(from);
    steps.push_back("rename " + from);
    return !failRename && PlatformWrapper::RenameFile(from, to);
  }
};

std::vector<std::string> NamesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void MakeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

TEST(IncludeBackslash, AddsWhatThePathLacks) {
  EXPECT_EQ(IncludeBackslash(""), "");
  EXPECT_EQ(IncludeBackslash("c"), "c:\\");
  EXPECT_EQ(IncludeBackslash("C:"), "C:\\");
  EXPECT_EQ(IncludeBackslash("C:\\Client\\"), "C:\\Client\\");
  EXPECT_EQ(IncludeBackslash("C:\\Client"), "C:\\Client\\");
  EXPECT_EQ(IncludeBackslash("1"), "1\\");
  EXPECT_EQ(IncludeBackslash("ab"), "ab\\");
}

// The platform refuses to delete a read-only file, as Windows does.
TEST(DeleteTree, RemovesNestedTreeWithReadOnlyFiles) {
  TestDir dir;
  dir.WriteFile("tree/a.txt", "a");
  dir.WriteFile("tree/sub/deeper/b.txt", "b");
  MakeReadOnly(dir / "tree/sub/deeper/b.txt");
  EXPECT_TRUE(DeleteTree(dir.path() + "\\tree", true));
  EXPECT_FALSE(dir.Exists("tree"));
}

TEST(DeleteTree, KeepsTheDirectoryWithoutRemoveSelf) {
  TestDir dir;
  dir.WriteFile("tree/a.txt", "a");
  dir.WriteFile("tree/sub/b.txt", "b");
  EXPECT_TRUE(DeleteTree(dir.path() + "\\tree\\", false));
  EXPECT_TRUE(dir.Exists("tree"));
  EXPECT_THAT(NamesIn(dir / "tree"), IsEmpty());
  EXPECT_FALSE(DeleteTree(dir.path() + "\\missing", true));
}

// Hidden names (a killed writer's temporary) go too, or the directory could
// never be emptied; the lock file of a directory that stays is kept.
TEST(DeleteTree, RemovesHiddenEntriesButKeepsAStayingDirectorysLock) {
  TestDir dir;
  dir.WriteFile("tree/.lock", "");
  dir.WriteFile("tree/KEYS/.a.key.~1-2-3.tmp", "torn");
  dir.WriteFile("tree/KEYS/.lock", "");
  EXPECT_TRUE(DeleteTree(dir.path() + "\\tree", false));
  EXPECT_FALSE(dir.Exists("tree/KEYS"));
  EXPECT_TRUE(dir.Exists("tree/.lock"));
  EXPECT_TRUE(DeleteTree(dir.path() + "\\tree", true));
  EXPECT_FALSE(dir.Exists("tree"));
}

// A delete that fails does not stop the others, is reported, and keeps the
// directory that still holds the file.
TEST(DeleteTree, ContinuesAfterAFailedDelete) {
  class KeepsOneFile : public platform::PlatformWrapper {
   public:
    KeepsOneFile() : PlatformWrapper(platform::SystemPlatform()) {}
    bool DeleteFile(const std::string& path) override {
      return path.ends_with("keep.txt") ? false : PlatformWrapper::DeleteFile(path);
    }
  } platform;
  TestDir dir;
  dir.WriteFile("tree/a.txt", "a");
  dir.WriteFile("tree/keep.txt", "k");
  dir.WriteFile("tree/z.txt", "z");
  ScopedPlatform scoped(platform);
  EXPECT_FALSE(DeleteTree(dir.path() + "\\tree", true));
  EXPECT_THAT(NamesIn(dir / "tree"), ElementsAre("keep.txt"));
}

TEST(DeleteTree, NeverRemovesADrive) {
  class FakeDrive : public platform::PlatformWrapper {
   public:
    FakeDrive() : PlatformWrapper(platform::SystemPlatform()) {}
    std::vector<std::string> removed;
    uint32_t GetAttributes(const std::string&) override { return platform::kAttrDirectory; }
    bool ListDirectory(const std::string&, std::vector<platform::DirEntry>&) override { return true; }
    bool RemoveDirectory(const std::string& path) override {
      removed.push_back(path);
      return true;
    }
  } platform;
  ScopedPlatform scoped(platform);
  EXPECT_TRUE(DeleteTree("C:", true));
  EXPECT_TRUE(DeleteTree("d:\\", true));
  EXPECT_TRUE(DeleteTree("C:\\Dir", true));
  EXPECT_THAT(platform.removed, ElementsAre("C:\\Dir"));
}

TEST(CopyTree, CopiesContentsSubdirectoriesAndAttributes) {
  TestDir dir;
  dir.WriteFile("src/a.txt", "alpha");
  dir.WriteFile("src/empty.txt", "");
  dir.WriteFile("src/.skipped", "s");
  dir.WriteFile("src/sub/b.txt", "beta");
  MakeReadOnly(dir / "src/sub/b.txt");
  ASSERT_TRUE(CopyTree(dir.path() + "\\src", dir.path() + "\\dst"));
  EXPECT_EQ(dir.ReadFile("dst/a.txt"), "alpha");
  EXPECT_EQ(dir.ReadFile("dst/empty.txt"), "");
  EXPECT_EQ(dir.ReadFile("dst/sub/b.txt"), "beta");
  EXPECT_FALSE(dir.Exists("dst/.skipped"));
  EXPECT_NE(Os().GetAttributes(dir.path() + "\\dst\\sub\\b.txt") & platform::kAttrReadOnly, 0u);
  EXPECT_EQ(Os().GetAttributes(dir.path() + "\\dst\\a.txt") & platform::kAttrReadOnly, 0u);
}

TEST(CopyTree, FailsForMissingSourceOrUncreatableTarget) {
  TestDir dir;
  dir.MakeDir("src");
  EXPECT_FALSE(CopyTree(dir.path() + "\\missing", dir.path() + "\\dst"));
  EXPECT_FALSE(dir.Exists("dst"));
  EXPECT_FALSE(CopyTree(dir.path() + "\\src", dir.path() + "\\no\\such\\dst"));
}

TEST(CopyTree, StopsAtTheFirstFailedFile) {
  TestDir dir;
  dir.WriteFile("src/a.txt", "a");
  dir.WriteFile("src/b.txt", "b");
  FailingFiles platform;
  platform.failWrite = true;
  ScopedPlatform scoped(platform);
  EXPECT_FALSE(CopyTree(dir.path() + "\\src", dir.path() + "\\dst"));
  EXPECT_EQ(platform.written.size(), 1u);
  EXPECT_THAT(NamesIn(dir / "dst"), IsEmpty());
}

TEST(CopyFileContents, CreatesAndReplacesTheTarget) {
  TestDir dir;
  dir.WriteFile("source", "new content");
  dir.WriteFile("target", "old");
  EXPECT_TRUE(CopyFileContents(dir.path() + "\\source", dir.path() + "\\target"));
  EXPECT_TRUE(CopyFileContents(dir.path() + "\\source", dir.path() + "\\fresh"));
  EXPECT_EQ(dir.ReadFile("target"), "new content");
  EXPECT_EQ(dir.ReadFile("fresh"), "new content");
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("fresh", "source", "target"));
  EXPECT_FALSE(CopyFileContents(dir.path() + "\\missing", dir.path() + "\\target"));
  EXPECT_EQ(dir.ReadFile("target"), "new content");
  // An empty source gives an empty target.
  dir.WriteFile("empty", "");
  EXPECT_TRUE(CopyFileContents(dir.path() + "\\empty", dir.path() + "\\target"));
  EXPECT_EQ(dir.ReadFile("target"), "");
}

// The previous content survives a failed write or a failed rename, and no
// temporary file is left beside it.
class AtomicReplace : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_.WriteFile("source", "new content");
    dir_.WriteFile("target", "old content");
    (GetParam() ? platform_.failRename : platform_.failWrite) = true;
  }
  std::string Target() const { return dir_.path() + "\\target"; }
  void ExpectTargetUntouched() {
    platform::SetPlatformForTesting(nullptr);
    EXPECT_EQ(dir_.ReadFile("target"), "old content");
    EXPECT_THAT(NamesIn(dir_.path()), ElementsAre("source", "target"));
    // Written beside the target, never over it.
    ASSERT_EQ(platform_.written.size(), 1u);
    EXPECT_NE(platform_.written[0], Target());
    EXPECT_TRUE(platform_.written[0].starts_with(Target()));
  }
  TestDir dir_;
  FailingFiles platform_;
};

TEST_P(AtomicReplace, WriteBufferToFileKeepsOldContent) {
  ScopedPlatform scoped(platform_);
  EXPECT_FALSE(WriteBufferToFile(Target().c_str(), "new", 3));
  ExpectTargetUntouched();
}

TEST_P(AtomicReplace, CopyFileContentsKeepsOldContent) {
  ScopedPlatform scoped(platform_);
  EXPECT_FALSE(CopyFileContents(dir_.path() + "\\source", Target()));
  ExpectTargetUntouched();
}

INSTANTIATE_TEST_SUITE_P(FailedWriteOrRename, AtomicReplace, ::testing::Bool());

// The content reaches the disk before the name does, and the name right after.
TEST(DurableReplace, SyncsTheTemporaryBeforeTheRenameAndTheDirectoryAfter) {
  TestDir dir;
  FailingFiles platform;
  ScopedPlatform scoped(platform);
  const std::string target = dir.path() + "\\file.bin";
  ASSERT_TRUE(WriteBufferToFile(target.c_str(), "data", 4));
  ASSERT_EQ(platform.written.size(), 1u);
  const std::string& temporary = platform.written[0];
  EXPECT_THAT(platform.steps, ElementsAre("create " + temporary, "sync " + temporary, "rename " + temporary,
                                          "syncdir " + dir.path() + "\\"));
  // Unique across processes: the name carries the process id.
  EXPECT_NE(temporary.find(".~" + std::to_string(platform::CurrentProcessId()) + "-"), std::string::npos);
}

TEST(DurableReplace, ATemporaryNameAlreadyTakenIsNeverReused) {
  TestDir dir;
  FailingFiles platform;
  ScopedPlatform scoped(platform);
  const std::string target = dir.path() + "\\file.bin";
  ASSERT_TRUE(WriteBufferToFile(target.c_str(), "one", 3));
  ASSERT_TRUE(WriteBufferToFile(target.c_str(), "two", 3));
  ASSERT_EQ(platform.written.size(), 2u);
  EXPECT_NE(platform.written[0], platform.written[1]);
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("file.bin"));
}

#ifndef _WIN32
mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

// A copy is as open as its source, never more; a replaced file keeps its
// access; key material is owner-only whatever the file was.
TEST(FileAccess, CopiesAndReplacementsAreNeverMoreOpenThanTheyShouldBe) {
  TestDir dir;
  const mode_t umask = ::umask(022);
  struct Case {
    const char* what;
    mode_t before;  // of the source (copies) or the target (writes); 0: no target
    int operation;  // 0 copy, 1 WriteBufferToFile, 2 WriteBufferToPrivateFile
    mode_t expected;
  };
  const Case cases[] = {
      {"copy of a private key file", 0600, 0, 0600},
      {"copy of a group-readable file", 0640, 0, 0640},
      {"copy of a public certificate", 0644, 0, 0644},
      {"copy of an executable", 0755, 0, 0644},
      {"rewrite keeps a private file private", 0600, 1, 0600},
      {"rewrite keeps a shared file shared", 0644, 1, 0644},
      {"new file gets the default", 0, 1, 0644},
      {"key material over a shared file", 0644, 2, 0600},
      {"new key material", 0, 2, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "source");
    fs::remove(dir / "target");
    const std::string existing = c.operation == 0 ? dir / "source" : dir / "target";
    if (c.before != 0) {
      dir.WriteFile(c.operation == 0 ? "source" : "target", "old");
      ASSERT_EQ(::chmod(existing.c_str(), c.before), 0);
    }
    const std::string target = dir.path() + "\\target";
    bool done = false;
    if (c.operation == 0) done = CopyFileContents(dir.path() + "\\source", target);
    if (c.operation == 1) done = WriteBufferToFile(target.c_str(), "new", 3);
    if (c.operation == 2) done = WriteBufferToPrivateFile(target, "new", 3);
    ASSERT_TRUE(done);
    EXPECT_EQ(ModeOf(dir / "target"), c.expected);
  }
  ::umask(umask);
}

TEST(FileAccess, ACopiedTreeIsOwnerOnly) {
  TestDir dir;
  dir.WriteFile("src/sub/key", "k");
  ASSERT_EQ(::chmod((dir / "src/sub/key").c_str(), 0600), 0);
  ASSERT_TRUE(CopyTree(dir.path() + "\\src", dir.path() + "\\dst"));
  EXPECT_EQ(ModeOf(dir / "dst"), 0700u);
  EXPECT_EQ(ModeOf(dir / "dst/sub"), 0700u);
  EXPECT_EQ(ModeOf(dir / "dst/sub/key"), 0600u);
}
#endif

TEST(WriteBufferToFile, ReplacesContentAndRejectsBadArguments) {
  TestDir dir;
  const std::string target = dir.path() + "\\file.bin";
  EXPECT_TRUE(WriteBufferToFile(target.c_str(), "first", 5));
  EXPECT_TRUE(WriteBufferToFile(target.c_str(), "2nd", 3));
  EXPECT_EQ(dir.ReadFile("file.bin"), "2nd");
  EXPECT_FALSE(WriteBufferToFile(target.c_str(), "x", -1));
  EXPECT_FALSE(WriteBufferToFile(target.c_str(), nullptr, 1));
  EXPECT_FALSE(WriteBufferToFile(nullptr, "x", 1));
  EXPECT_FALSE(WriteBufferToFile((dir.path() + "\\missing\\f").c_str(), "x", 1));
  EXPECT_EQ(dir.ReadFile("file.bin"), "2nd");
  EXPECT_TRUE(WriteBufferToFile(target.c_str(), nullptr, 0));
  EXPECT_EQ(dir.ReadFile("file.bin"), "");
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("file.bin"));
}

TEST(WriteBufferToFile, LeavesAReadOnlyFileAlone) {
  TestDir dir;
  dir.WriteFile("locked", "kept");
  MakeReadOnly(dir / "locked");
  EXPECT_FALSE(WriteBufferToFile((dir.path() + "\\locked").c_str(), "new", 3));
  EXPECT_EQ(dir.ReadFile("locked"), "kept");
}

TEST(ReadFileToBuffer, NeedsRoomForTheWholeFile) {
  TestDir dir;
  dir.WriteFile("data", "0123456789");
  const std::string name = dir.path() + "\\data";
  char buffer[16] = {};
  int32_t size = 9;
  EXPECT_FALSE(ReadFileToBuffer(name.c_str(), buffer, &size));
  EXPECT_EQ(size, 9);
  EXPECT_EQ(buffer[0], '\0');
  size = 10;
  EXPECT_TRUE(ReadFileToBuffer(name.c_str(), buffer, &size));
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  size = sizeof(buffer);
  EXPECT_TRUE(ReadFileToBuffer(name.c_str(), buffer, &size));
  EXPECT_EQ(size, 10);
  size = -1;
  EXPECT_FALSE(ReadFileToBuffer(name.c_str(), buffer, &size));
  EXPECT_EQ(size, -1);
  EXPECT_FALSE(ReadFileToBuffer(name.c_str(), buffer, nullptr));
  EXPECT_FALSE(ReadFileToBuffer(nullptr, buffer, &size));
}

TEST(FormatNumber, CutsThenPads) {
  EXPECT_EQ(FormatNumber3(7), "007");
  EXPECT_EQ(FormatNumber3(12345), "123");
  EXPECT_EQ(FormatNumber3(0), "000");
  EXPECT_EQ(FormatNumber5(-1), "000-1");
  EXPECT_EQ(FormatNumber5(42), "00042");
  EXPECT_EQ(FormatNumber5(-2147483647 - 1), "-2147");
}

TEST(NextNumberInMask, FollowsTheLargestNumber) {
  TestDir dir;
  dir.WriteFile("crl1.pem", "");
  dir.WriteFile("CRL7.PEM", "");
  dir.WriteFile("crlx.pem", "");
  dir.WriteFile("crl.pem", "");
  dir.WriteFile("crl20.der", "");
  dir.MakeDir("crl30.pem");
  EXPECT_EQ(NextNumberInMask(dir.path(), "crl*.pem"), 8);
  EXPECT_EQ(NextNumberInMask(dir.path(), "crl.pem"), 0);
}

TEST(NextNumberInMask, EmptyAndMissingDirectories) {
  TestDir dir;
  EXPECT_EQ(NextNumberInMask(dir.path(), "crl*.pem"), 1);
  EXPECT_EQ(NextNumberInMask(dir.path() + "\\missing", "crl*.pem"), 0);
}

TEST(NextNumberedExt, ReadsNumericExtensions) {
  TestDir dir;
  dir.WriteFile("key.001", "");
  dir.WriteFile("key.012", "");
  dir.WriteFile("key.abc", "");
  dir.WriteFile("other.050", "");
  dir.MakeDir("key.040");
  EXPECT_EQ(NextNumberedExt(dir.path(), "key"), 13);
  EXPECT_EQ(NextNumberedExt(dir.path(), "none"), 1);
  EXPECT_EQ(NextNumberedExt(dir.path() + "\\missing", "key"), 0);
}

// A write in progress (or one interrupted) leaves a temporary beside the
// file: it must not count as a numbered file.
TEST(NextNumberedExt, IgnoresTemporariesOfReplacedFiles) {
  TestDir dir;
  dir.WriteFile("key.001", "old");
  FailingFiles platform;
  platform.failRename = true;
  class KeepTemporary : public platform::PlatformWrapper {
   public:
    explicit KeepTemporary(Platform& target) : PlatformWrapper(target) {}
    bool DeleteFile(const std::string&) override { return false; }
  } keep(platform);
  ScopedPlatform scoped(keep);
  EXPECT_FALSE(WriteBufferToFile((dir.path() + "\\key.001").c_str(), "new", 3));
  ASSERT_EQ(NamesIn(dir.path()).size(), 2u);
  EXPECT_EQ(NextNumberedExt(dir.path(), "key"), 2);
}

TEST(ListFilesByExt, MatchesSuffixIgnoringCase) {
  TestDir dir;
  dir.WriteFile("a.pem", "");
  dir.WriteFile("b.PEM", "");
  dir.WriteFile("c.der", "");
  dir.WriteFile(".d.pem", "");
  dir.WriteFile("sub/e.pem", "");
  dir.MakeDir("dir.pem");
  std::vector<std::string> flat = {"kept"};
  ListFilesByExt(dir.path(), "Pem", flat, false);
  std::sort(flat.begin() + 1, flat.end());
  EXPECT_THAT(flat, ElementsAre("kept", dir.path() + "\\a.pem", dir.path() + "\\b.PEM"));

  std::vector<std::string> deep;
  ListFilesByExt(dir.path() + "\\", "pem", deep, true);
  std::sort(deep.begin(), deep.end());
  EXPECT_THAT(deep, ElementsAre(dir.path() + "\\a.pem", dir.path() + "\\b.PEM", dir.path() + "\\sub\\e.pem"));

  std::vector<std::string> none;
  ListFilesByExt(dir.path() + "\\missing", "pem", none, true);
  EXPECT_THAT(none, IsEmpty());
}

TEST(ForceDirectories, CreatesMissingParents) {
  TestDir dir;
  EXPECT_TRUE(ForceDirectories(dir.path() + "\\a\\b\\c\\"));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(ForceDirectories(dir.path() + "\\a\\b"));
  EXPECT_FALSE(ForceDirectories(""));
  dir.WriteFile("file", "");
  EXPECT_FALSE(ForceDirectories(dir.path() + "\\file\\sub"));
}

}  // namespace
}  // namespace cryptlib
