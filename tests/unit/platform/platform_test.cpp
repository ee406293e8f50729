// The platform layer. "Contract" tests use only the Platform interface and
// Windows-style paths, so that they can run against every implementation
// (here: the system's, and the same behind a forwarding PlatformWrapper).
// The POSIX tests below them check the rules docs/platform.md chose; the
// Windows tests check what the Win32 implementation adds to the system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "common/test_dir.h"
#include "platform/date_time.h"
#include "platform/platform.h"
#ifdef _WIN32
#include "platform/win32/win32_internal.h"
// After windows.h.
#include <sddl.h>
#else
#include "platform/posix/posix_internal.h"
#endif

namespace cryptlib::platform {
namespace {

namespace fs = std::filesystem;
using test::TestDir;

std::string Win(std::string native) {
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
std::set<std::string> Names(const std::vector<DirEntry>& entries) {
  std::set<std::string> names;
  for (const DirEntry& entry : entries) names.insert(entry.name);
  return names;
}
// A module's file name with its extension replaced by ".DLL", upper-cased: how
// the engine names it.
std::string WindowsModuleName(const std::string& path) {
  return Upper(Win(path.substr(0, path.rfind('.')))) + ".DLL";
}
std::string ExecutablePath() {
#ifdef _WIN32
  char buffer[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return std::string(buffer, length);
#else
  return fs::read_symlink("/proc/self/exe").string();
#endif
}
std::set<std::string> NativeNames(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

// --- contract ---

Platform& System() {
  return SystemPlatform();
}
Platform& Forwarded() {
  static PlatformWrapper wrapper(SystemPlatform());
  return wrapper;
}

class PlatformContract : public ::testing::TestWithParam<Platform& (*)()> {
 protected:
  Platform& os = GetParam()();
  TestDir dir;
  std::string root = Upper(Win(dir.path()));  // as root expansion hands it over
};

TEST_P(PlatformContract, ExistingNamesMatchIgnoringCaseWithEitherSeparator) {
  dir.WriteFile("keys/a.key", "secret");
  std::string contents;
  ASSERT_TRUE(os.ReadFile(root + "\\KEYS\\A.KEY", contents));
  EXPECT_EQ(contents, "secret");
  ASSERT_TRUE(os.ReadFile(root + "/Keys\\\\//a.KEY", contents));
  EXPECT_EQ(contents, "secret");
  uint64_t size = 0;
  ASSERT_TRUE(os.GetFileSize(root + "\\keys\\A.key", size));
  EXPECT_EQ(size, 6u);
  EXPECT_FALSE(os.ReadFile(root + "\\KEYS\\B.KEY", contents));
}

TEST_P(PlatformContract, CreatedNamesKeepTheirCase) {
  ASSERT_TRUE(os.CreateDirectory(root + "\\NewDir"));
  EXPECT_FALSE(os.CreateDirectory(root + "\\NEWDIR"));  // exists already
  ASSERT_TRUE(os.WriteFile(root + "\\newdir\\File.TXT", "x", 1));
  EXPECT_EQ(NativeNames(dir.path()), std::set<std::string>{"NewDir"});
  EXPECT_EQ(NativeNames(dir / "NewDir"), std::set<std::string>{"File.TXT"});
  // A missing intermediate directory is not created.
  EXPECT_FALSE(os.CreateDirectory(root + "\\Missing\\Sub"));
  EXPECT_FALSE(os.WriteFile(root + "\\Missing\\f.txt", "x", 1));
  EXPECT_FALSE(dir.Exists("Missing"));
}

TEST_P(PlatformContract, WriteTruncatesAndReadReadsWholeFiles) {
  ASSERT_TRUE(os.WriteFile(root + "\\f.bin", "longer content", 14));
  ASSERT_TRUE(os.WriteFile(root + "\\F.BIN", "\0ab", 3));
  std::string contents;
  ASSERT_TRUE(os.ReadFile(root + "\\f.bin", contents));
  EXPECT_EQ(contents, std::string("\0ab", 3));
  ASSERT_TRUE(os.WriteFile(root + "\\empty", "", 0));
  ASSERT_TRUE(os.ReadFile(root + "\\EMPTY", contents));
  EXPECT_EQ(contents, "");
  EXPECT_FALSE(os.ReadFile(root, contents));  // a directory
}

TEST_P(PlatformContract, RenameReplacesAnExistingFile) {
  dir.WriteFile("a.txt", "new");
  dir.WriteFile("b.txt", "old");
  ASSERT_TRUE(os.RenameFile(root + "\\A.TXT", root + "\\B.TXT"));
  EXPECT_FALSE(dir.Exists("a.txt"));
  EXPECT_EQ(dir.ReadFile("b.txt"), "new");
  // A rename that changes only the case.
  ASSERT_TRUE(os.RenameFile(root + "\\b.txt", root + "\\Final.Txt"));
  ASSERT_TRUE(os.RenameFile(root + "\\final.txt", root + "\\FINAL.TXT"));
  EXPECT_EQ(NativeNames(dir.path()), std::set<std::string>{"FINAL.TXT"});
  EXPECT_FALSE(os.RenameFile(root + "\\missing", root + "\\other"));
  dir.MakeDir("sub");
  EXPECT_FALSE(os.RenameFile(root + "\\FINAL.TXT", root + "\\SUB"));  // no directory is replaced
}

TEST_P(PlatformContract, SyncNeedsAnExistingFileOrDirectory) {
  dir.WriteFile("sub/f", "x");
  EXPECT_TRUE(os.SyncFile(root + "\\SUB\\F"));
  EXPECT_TRUE(os.SyncDirectory(root + "\\Sub"));
  EXPECT_TRUE(os.SyncDirectory(root + "\\sub\\"));
  EXPECT_FALSE(os.SyncFile(root + "\\sub\\missing"));
  EXPECT_FALSE(os.SyncDirectory(root + "\\missing"));
  EXPECT_EQ(dir.ReadFile("sub/f"), "x");  // a sync changes nothing
}

TEST_P(PlatformContract, DeleteAndRemove) {
  dir.WriteFile("f", "x");
  dir.MakeDir("d");
  EXPECT_FALSE(os.DeleteFile(root + "\\MISSING"));
  EXPECT_FALSE(os.DeleteFile(root + "\\D"));  // not a file
  EXPECT_TRUE(os.DeleteFile(root + "\\F"));
  EXPECT_FALSE(dir.Exists("f"));
  dir.WriteFile("d/inner", "x");
  EXPECT_FALSE(os.RemoveDirectory(root + "\\D"));  // not empty
  EXPECT_TRUE(os.DeleteFile(root + "\\D\\INNER"));
  EXPECT_TRUE(os.RemoveDirectory(root + "\\D"));
  EXPECT_FALSE(os.RemoveDirectory(root + "\\D"));
}

TEST_P(PlatformContract, Attributes) {
  dir.WriteFile("f", "x");
  dir.MakeDir("d");
  EXPECT_EQ(os.GetAttributes(root + "\\D"), uint32_t{kAttrDirectory});
  EXPECT_EQ(os.GetAttributes(root + "\\F"), uint32_t{kAttrArchive});
  EXPECT_EQ(os.GetAttributes(root + "\\NONE"), kInvalidAttributes);
  EXPECT_FALSE(os.SetAttributes(root + "\\NONE", kAttrReadOnly));
  ASSERT_TRUE(os.SetAttributes(root + "\\F", kAttrReadOnly | kAttrArchive));
  EXPECT_EQ(os.GetAttributes(root + "\\F"), uint32_t{kAttrReadOnly | kAttrArchive});
  // Read-only files resist deletion, replacement and writing, as on Windows.
  EXPECT_FALSE(os.DeleteFile(root + "\\F"));
  EXPECT_FALSE(os.WriteFile(root + "\\F", "y", 1));
  dir.WriteFile("g", "z");
  EXPECT_FALSE(os.RenameFile(root + "\\G", root + "\\F"));
  ASSERT_TRUE(os.SetAttributes(root + "\\F", kAttrNormal));
  // Windows may keep "normal" itself; the POSIX layer reads any file as archive.
  EXPECT_THAT(os.GetAttributes(root + "\\F"), ::testing::AnyOf(uint32_t{kAttrArchive}, uint32_t{kAttrNormal}));
  EXPECT_TRUE(os.DeleteFile(root + "\\F"));
}

TEST_P(PlatformContract, ListDirectoryMatchesWildcardsAndSkipsDots) {
  for (const char* name : {"crl1.pem", "CRL7.PEM", "crlx.pem", "crl12.pem.bak", "other.txt", "noext", ".hidden"}) {
    dir.WriteFile(name, "x");
  }
  dir.MakeDir("sub");
  std::vector<DirEntry> entries;
  ASSERT_TRUE(os.ListDirectory(root + "\\crl*.pem", entries));
  EXPECT_EQ(Names(entries), (std::set<std::string>{"crl1.pem", "CRL7.PEM", "crlx.pem"}));
  entries.clear();
  ASSERT_TRUE(os.ListDirectory(root + "\\*.*", entries));
  EXPECT_EQ(Names(entries), (std::set<std::string>{"crl1.pem", "CRL7.PEM", "crlx.pem", "crl12.pem.bak", "other.txt",
                                                   "noext", ".hidden", "sub"}));
  for (const DirEntry& entry : entries) {
    uint32_t attributes = entry.attributes;
#ifdef _WIN32
    // Wine marks names beginning with "." hidden, as Unix tools hide them.
    if (entry.name[0] == '.') attributes &= ~uint32_t{kAttrHidden};
#endif
    EXPECT_EQ(attributes, entry.name == "sub" ? uint32_t{kAttrDirectory} : uint32_t{kAttrArchive});
  }
  entries.clear();
  ASSERT_TRUE(os.ListDirectory(root + "\\CRL?.PEM", entries));
  EXPECT_EQ(Names(entries), (std::set<std::string>{"crl1.pem", "CRL7.PEM", "crlx.pem"}));
  entries.clear();
  ASSERT_TRUE(os.ListDirectory(root + "\\no?x?", entries));
  EXPECT_EQ(Names(entries), std::set<std::string>{"noext"});
  entries.clear();
  ASSERT_TRUE(os.ListDirectory(root + "\\nothing*", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(os.ListDirectory(root + "\\MISSING\\*.*", entries));
}

TEST_P(PlatformContract, ModuleLoading) {
  std::string error;
  EXPECT_EQ(os.LoadModule(root + "\\no-such-module.dll", &error), nullptr);
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_EQ(os.LoadModule("no-such-module-anywhere.dll", &error), nullptr);
  EXPECT_FALSE(error.empty());

  // The Windows name of a module, spelled in another case, finds its file.
  const std::string path = CRYPTLIB_TEST_VERSION_MODULE;
  const std::string windowsName = WindowsModuleName(path);
  ModuleHandle module = os.LoadModule(windowsName, &error);
  ASSERT_NE(module, nullptr) << error;
  auto answer = reinterpret_cast<int (*)()>(os.FindSymbol(module, "VersionModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(os.FindSymbol(module, "NoSuchSymbol"), nullptr);
  EXPECT_TRUE(fs::equivalent(os.LoadedModulePath("versionmodule.dll"), path));
  os.FreeModule(module);

  const std::string executable = ExecutablePath();
  EXPECT_EQ(os.LoadedModulePath(nullptr), executable);
  EXPECT_EQ(os.LoadedModulePath("NotLoaded.dll"), executable);
  // The engine's own code is linked into this test program.
  EXPECT_EQ(os.LoadedModulePath("CryptLib.dll"), executable);
}

TEST_P(PlatformContract, ModuleFileVersion) {
  uint16_t version[4] = {9, 9, 9, 9};
  ASSERT_TRUE(os.ModuleFileVersion(Upper(Win(CRYPTLIB_TEST_VERSION_MODULE)), version));
  EXPECT_EQ(version[0], 1);
  EXPECT_EQ(version[1], 2);
  EXPECT_EQ(version[2], 513);
  EXPECT_EQ(version[3], 65535);
  EXPECT_FALSE(os.ModuleFileVersion(CRYPTLIB_TEST_PLAIN_MODULE, version));
  EXPECT_FALSE(os.ModuleFileVersion(root + "\\missing.dll", version));
}

TEST_P(PlatformContract, EnvironmentAndTime) {
  std::string value;
  ASSERT_TRUE(os.SetEnvironment("CRYPTLIB_PLATFORM_TEST", "a b"));
  ASSERT_TRUE(os.GetEnvironment("CRYPTLIB_PLATFORM_TEST", value));
  EXPECT_EQ(value, "a b");
  EXPECT_FALSE(os.GetEnvironment("CRYPTLIB_PLATFORM_TEST_UNSET", value));
  const std::string temp = os.TempDirectory();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(temp.back() == '/' || temp.back() == '\\');
  EXPECT_NE(os.GetAttributes(temp) & kAttrDirectory, 0u);

  const uint64_t before = os.MonotonicMilliseconds();
  EXPECT_GE(os.MonotonicMilliseconds(), before);
  // Days since 1899-12-30: 2020-01-01 is day 43831.
  const double now = os.LocalDateTime();
  EXPECT_GT(now, 43831.0);
  EXPECT_LT(now, 43831.0 + 365 * 100);
}

INSTANTIATE_TEST_SUITE_P(System, PlatformContract, ::testing::Values(&System));
INSTANTIATE_TEST_SUITE_P(Wrapped, PlatformContract, ::testing::Values(&Forwarded));

TEST(PlatformFacts, ThreadIdsAreDistinctAndNonZero) {
  const uint32_t mine = CurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(CurrentThreadId(), mine);
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
  YieldThread();
}

#ifndef _WIN32
// --- the POSIX rules ---

class PosixPlatform : public ::testing::Test {
 protected:
  Platform& os = SystemPlatform();
  TestDir dir;
  std::string root = Upper(Win(dir.path()));
};

TEST_F(PosixPlatform, ExactMatchWinsOtherwiseTheSmallestName) {
  for (const char* name : {"data", "Data", "DATA"}) dir.MakeDir(name);
  EXPECT_EQ(NativePath(Win(dir.path()) + "\\data\\x"), dir / "data/x");
  EXPECT_EQ(NativePath(Win(dir.path()) + "\\Data"), dir / "Data");
  EXPECT_EQ(NativePath(Win(dir.path()) + "\\dAtA"), dir / "DATA");  // "DATA" < "Data" < "data"
  EXPECT_EQ(NativePath(root + "\\NEW.TXT"), dir / "NEW.TXT");
}

TEST_F(PosixPlatform, CacheFollowsRenamedAndRecreatedDirectories) {
  dir.WriteFile("keys/a.key", "1");
  const std::string key = root + "\\KEYS\\A.KEY";
  EXPECT_EQ(NativePath(key), dir / "keys/a.key");
  EXPECT_GT(posix::SystemResolver().CacheSize(), 0u);
  fs::rename(dir / "keys", dir / "old");
  dir.WriteFile("Keys/A.Key", "2");
  EXPECT_EQ(NativePath(key), dir / "Keys/A.Key");
  std::string contents;
  ASSERT_TRUE(os.ReadFile(key, contents));
  EXPECT_EQ(contents, "2");
  fs::remove_all(dir / "Keys");
  EXPECT_EQ(os.GetAttributes(key), kInvalidAttributes);
  dir.WriteFile("KEYS/a.KEY", "3");
  ASSERT_TRUE(os.ReadFile(key, contents));
  EXPECT_EQ(contents, "3");
}

TEST_F(PosixPlatform, DriveLettersNeedTheirVariable) {
  unsetenv("CRYPTLIB_DRIVE_Q");
  EXPECT_EQ(os.GetAttributes("Q:\\"), kInvalidAttributes);
  EXPECT_FALSE(os.WriteFile("q:\\f.txt", "x", 1));
  EXPECT_FALSE(os.CreateDirectory("Q:\\Dir"));
  EXPECT_EQ(NativePath("Q:\\f.txt"), "");
  std::vector<DirEntry> entries;
  EXPECT_FALSE(os.ListDirectory("Q:*.*", entries));

  ASSERT_TRUE(os.SetEnvironment("CRYPTLIB_DRIVE_Q", dir.path()));
  EXPECT_EQ(os.GetAttributes("q:"), uint32_t{kAttrDirectory});
  ASSERT_TRUE(os.CreateDirectory("Q:\\Dir"));
  ASSERT_TRUE(os.WriteFile("q:dir\\F.txt", "x", 1));
  EXPECT_EQ(dir.ReadFile("Dir/F.txt"), "x");
  // ".." stops at the drive's directory.
  EXPECT_EQ(NativePath("Q:\\..\\..\\DIR\\f.txt"), dir / "Dir/F.txt");
  ASSERT_TRUE(os.ListDirectory("Q:*.*", entries));
  EXPECT_EQ(Names(entries), std::set<std::string>{"Dir"});
  unsetenv("CRYPTLIB_DRIVE_Q");
}

TEST_F(PosixPlatform, RelativePathsStartAtTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  dir.WriteFile("Sub/File", "r");
  std::string contents;
  EXPECT_TRUE(os.ReadFile("SUB\\FILE", contents));
  EXPECT_TRUE(os.ReadFile(".\\sub\\..\\sub\\file", contents));
  std::vector<DirEntry> entries;
  EXPECT_TRUE(os.ListDirectory("*", entries));
  EXPECT_EQ(Names(entries), std::set<std::string>{"Sub"});
  fs::current_path(previous);
}

TEST(PosixFacts, NamesAndSeparators) {
  EXPECT_EQ(ModuleFileNameFor("mplug2.dll"), "mplug2.so");
  EXPECT_EQ(ModuleFileNameFor("C:\\Bin\\CryptLib.DLL"), "C:\\Bin\\CryptLib.so");
  EXPECT_EQ(ModuleFileNameFor("libx.so"), "libx.so");
  EXPECT_EQ(ModuleFileNameFor("dll"), "dll");
  EXPECT_STREQ(SearchPathVariable(), "PATH");
  EXPECT_EQ(SearchPathSeparator(), ':');
}

TEST(PosixFacts, Wildcards) {
  using posix::MatchesWildcard;
  EXPECT_TRUE(MatchesWildcard("*.*", "noext"));
  EXPECT_TRUE(MatchesWildcard("*", ".x"));
  EXPECT_TRUE(MatchesWildcard("key.*", "KEY.001"));
  EXPECT_TRUE(MatchesWildcard("key.*", "key"));
  EXPECT_FALSE(MatchesWildcard("key.*", "keys.001"));
  EXPECT_TRUE(MatchesWildcard("*.", "noext"));
  EXPECT_FALSE(MatchesWildcard("*.", "a.b"));
  EXPECT_TRUE(MatchesWildcard("*.txt", "a.b.TXT"));
  EXPECT_FALSE(MatchesWildcard("*.txt", "a.txt.bak"));
  EXPECT_TRUE(MatchesWildcard("a?c", "abc"));
  EXPECT_FALSE(MatchesWildcard("a?c", "abbc"));
  EXPECT_TRUE(MatchesWildcard("crl?.pem", "crl.pem"));  // "?" may match nothing before a dot
  EXPECT_FALSE(MatchesWildcard("crl?.pem", "crl12.pem"));
}

TEST(PosixFacts, FileVersionOfDamagedFilesIsFalse) {
  TestDir dir;
  std::string image;
  ASSERT_TRUE(SystemPlatform().ReadFile(CRYPTLIB_TEST_VERSION_MODULE, image));
  uint16_t version[4];
  // Every truncation that cuts off the section headers or the note.
  for (size_t size = 0; size < image.size(); size += std::max<size_t>(1, image.size() / 257)) {
    dir.WriteFile("cut.so", image.substr(0, size));
    EXPECT_FALSE(SystemPlatform().ModuleFileVersion(dir / "cut.so", version)) << size;
  }
  // Section header offset and count pointing far outside the file.
  std::string broken = image;
  for (size_t i = 40; i < 48; ++i) broken[i] = '\xff';  // ELF64 e_shoff
  dir.WriteFile("broken.so", broken);
  EXPECT_FALSE(SystemPlatform().ModuleFileVersion(dir / "broken.so", version));
  dir.WriteFile("garbage.so", std::string("\x7f"
                                          "ELF\x02\x01",
                                          6) +
                                  std::string(200, '\xee'));
  EXPECT_FALSE(SystemPlatform().ModuleFileVersion(dir / "garbage.so", version));
}

// The local clock is encoded from UTC seconds plus the local offset: the
// same value as the civil fields the C library gives for those seconds.
TEST(DateTimeTest, ClockSecondsEncodeAsTheirCivilFields) {
  for (const int64_t seconds : {int64_t{0}, int64_t{-1}, int64_t{86399}, int64_t{86400}, int64_t{951782400},
                                int64_t{951868799}, int64_t{1700000000}, int64_t{4102444799}, int64_t{-2208988800}}) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm fields;
    ASSERT_NE(gmtime_r(&t, &fields), nullptr);
    const CivilDateTime civil{
        fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec, 123};
    EXPECT_EQ(EncodeClockSeconds(seconds, 123), EncodeDateTime(civil)) << seconds;
  }
}

#endif  // !_WIN32

#ifdef _WIN32
// --- what the Win32 implementation adds to the system ---

TEST(Win32Facts, NamesAndSeparators) {
  EXPECT_EQ(ModuleFileNameFor("mplug2.dll"), "mplug2.dll");
  EXPECT_EQ(ModuleFileNameFor("C:\\Bin\\CryptLib.DLL"), "C:\\Bin\\CryptLib.DLL");
  EXPECT_STREQ(SearchPathVariable(), "Path");
  EXPECT_EQ(SearchPathSeparator(), ';');
  EXPECT_EQ(NativePath("C:\\Client\\USER\\"), "C:\\Client\\USER\\");
  EXPECT_EQ(CurrentThreadId(), GetCurrentThreadId());
}

TEST(Win32Facts, EnvironmentTellsEmptyFromUnsetAndGrowsItsBuffer) {
  Platform& os = SystemPlatform();
  std::string value = "stale";
  ASSERT_TRUE(os.SetEnvironment("CRYPTLIB_PLATFORM_EMPTY", ""));
  ASSERT_TRUE(os.GetEnvironment("CRYPTLIB_PLATFORM_EMPTY", value));
  EXPECT_EQ(value, "");
  const std::string longValue(5000, 'p');
  ASSERT_TRUE(os.SetEnvironment("CRYPTLIB_PLATFORM_LONG", longValue));
  ASSERT_TRUE(os.GetEnvironment("CRYPTLIB_PLATFORM_LONG", value));
  EXPECT_EQ(value, longValue);
  // Windows names variables without regard to case ("Path" is "PATH").
  ASSERT_TRUE(os.GetEnvironment("crypTLIB_platform_long", value));
  EXPECT_EQ(value.size(), longValue.size());
  EXPECT_FALSE(os.SetEnvironment("A=B", "x"));
}

TEST(Win32Facts, AnsiTextIsConvertedWithTheCodePage) {
  EXPECT_EQ(AnsiToUtf16(std::string("A\0b", 3)), std::u16string(u"A\0b", 3));
  EXPECT_EQ(AnsiToUtf16(""), u"");
  if (GetACP() != 1252) GTEST_SKIP() << "the process's ANSI code page is " << GetACP() << ", not 1252";
  // 0x80 is the euro sign in code page 1252, not U+0080 as Latin-1 would have it.
  EXPECT_EQ(AnsiToUtf16("\x80\xe9"), u"\u20ac\u00e9");
}

TEST(Win32Facts, DateTimeCountsDaysFrom1899) {
  auto at = [](WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millis) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = millis;
    return win32::DateTimeFromSystemTime(time);
  };
  EXPECT_DOUBLE_EQ(at(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(at(1900, 3, 1, 0, 0, 0, 0), 61.0);  // 1900 was no leap year
  EXPECT_DOUBLE_EQ(at(2020, 1, 1, 12, 0, 0, 0), 43831.5);
  EXPECT_NEAR(at(2000, 2, 29, 6, 0, 0, 500), 36585.25 + 0.5 / 86400.0, 1e-9);
}

TEST(Win32Facts, ListingNeedsTheDirectoryAndAMask) {
  TestDir dir;
  dir.WriteFile("key", "x");
  dir.WriteFile("key.001", "x");
  dir.WriteFile("keys.001", "x");
  std::vector<DirEntry> entries{DirEntry{"kept", 0}};
  EXPECT_FALSE(SystemPlatform().ListDirectory(dir.path() + "\\missing\\*.*", entries));
  EXPECT_FALSE(SystemPlatform().ListDirectory(dir.path() + "\\", entries));
  ASSERT_EQ(entries.size(), 1u);  // a failed listing leaves the vector alone
  ASSERT_TRUE(SystemPlatform().ListDirectory(dir.path() + "\\KEY.*", entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "key");  // sorted by folded name
  EXPECT_EQ(entries[1].name, "key.001");
}

TEST(Win32Facts, SettingAttributesKeepsWhatANameIs) {
  TestDir dir;
  dir.WriteFile("f", "x");
  const std::string file = dir.path() + "\\F";
  // The directory bit cannot make a file a directory; the rest is set.
  ASSERT_TRUE(SystemPlatform().SetAttributes(file, kAttrReadOnly | kAttrDirectory));
  EXPECT_EQ(SystemPlatform().GetAttributes(file) & (kAttrReadOnly | kAttrDirectory), uint32_t{kAttrReadOnly});
  ASSERT_TRUE(SystemPlatform().SetAttributes(file, 0));
  EXPECT_EQ(SystemPlatform().GetAttributes(file) & kAttrReadOnly, 0u);
}

TEST(Win32Facts, PrivateDirectoryHasItsOwnOwnerOnlyAccessList) {
  TestDir dir;
  const std::string path = dir / "private";
  ASSERT_TRUE(SystemPlatform().CreatePrivateDirectory(path));
  EXPECT_FALSE(SystemPlatform().CreatePrivateDirectory(path)) << "an existing directory is not reused";
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> descriptor(size);
  ASSERT_TRUE(GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size));
  char* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::string sddl = text;
  LocalFree(text);
  // Exactly two entries, the user's and the system's: nothing inherited from
  // the parent, nobody else let in.
  size_t entries = 0;
  for (size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1)) ++entries;
  EXPECT_EQ(entries, 2u) << sddl;
  EXPECT_NE(sddl.find(";" + win32::CurrentUserSid() + ")"), std::string::npos) << sddl;
  EXPECT_NE(sddl.find(";SY)"), std::string::npos) << sddl;
}

TEST(Win32Facts, FileVersionOfDamagedFilesIsFalse) {
  TestDir dir;
  std::string image;
  ASSERT_TRUE(SystemPlatform().ReadFile(CRYPTLIB_TEST_VERSION_MODULE, image));
  uint16_t version[4];
  ASSERT_TRUE(SystemPlatform().ModuleFileVersion(CRYPTLIB_TEST_VERSION_MODULE, version));
  // Cut into its headers, the file has no readable version.
  // (Debug information follows the resources, so only cuts into the headers
  // are sure to lose them.)
  for (size_t size : {size_t{0}, size_t{2}, size_t{64}, size_t{512}}) {
    dir.WriteFile("cut.dll", image.substr(0, size));
    EXPECT_FALSE(SystemPlatform().ModuleFileVersion(dir / "cut.dll", version)) << size;
  }
  dir.WriteFile("text.dll", "MZ not really a module");
  EXPECT_FALSE(SystemPlatform().ModuleFileVersion(dir / "text.dll", version));
}

TEST(Win32Facts, LoadErrorsNameTheModuleAndTheReason) {
  TestDir dir;
  dir.WriteFile("fake.dll", "not a module");
  std::string error;
  EXPECT_EQ(SystemPlatform().LoadModule(dir / "fake.dll", &error), nullptr);
  EXPECT_NE(error.find("fake.dll"), std::string::npos) << error;
  EXPECT_NE(error.find("error "), std::string::npos) << error;
}
#endif  // _WIN32

// A wrapper overrides a single call; everything else reaches the system.
TEST(PlatformWrapperTest, FailsOneCallAndForwardsTheRest) {
  struct FailingWrites : PlatformWrapper {
    using PlatformWrapper::PlatformWrapper;
    bool WriteFile(const std::string&, const void*, size_t) override { return false; }
  } failing(SystemPlatform());
  TestDir dir;
  dir.WriteFile("f", "kept");
  SetPlatformForTesting(&failing);
  EXPECT_EQ(&Os(), &failing);
  EXPECT_FALSE(Os().WriteFile(dir / "f", "new", 3));
  std::string contents;
  EXPECT_TRUE(Os().ReadFile(dir / "f", contents));
  EXPECT_EQ(contents, "kept");
  SetPlatformForTesting(nullptr);
  EXPECT_EQ(&Os(), &SystemPlatform());
  EXPECT_TRUE(Os().WriteFile(dir / "f", "new", 3));
}

}  // namespace
}  // namespace cryptlib::platform
