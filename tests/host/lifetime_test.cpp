// The library's process-wide state follows its load and unload: a host may
// load, use, unload and load the engine again in one process. The installation
// root is process-wide and set once per load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_dir.h"
#include "common/test_os.h"
#include "loader/cryptlib_loader.h"

namespace cryptlib::test {
namespace {

using host::EngineLibrary;

// The executable search path the root extends ("Path" on Windows).
#ifdef _WIN32
constexpr const char* kSearchPathVariable = "Path";
#else
constexpr const char* kSearchPathVariable = "PATH";
#endif

// Names in a directory, lower-cased (root expansion upper-cases new names).
bool HasFileIgnoringCase(const std::string& directory, const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string found = entry.path().filename().string();
    std::transform(found.begin(), found.end(), found.begin(), [](unsigned char c) { return std::tolower(c); });
    if (found == name) return true;
  }
  return false;
}

int32_t SaveUnderRoot(const EngineLibrary& lib, CRYPT_HANDLE engine, const char* name) {
  std::string path = std::string("%QamRoot%\\") + name;
  return lib->SaveSignedDataToFile(engine, "DATA", 4, nullptr, 0, path.c_str());
}

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(Lifetime, RootIsSetOncePerLoadAndFreedWithTheLibrary) {
  TestDir rootA, rootB, elsewhere;
  const std::string savedPath = GetEnv(kSearchPathVariable);

  EngineLibrary first;
  ASSERT_TRUE(first.Load(CRYPTLIB_LIBRARY_PATH)) << first.error();
  CRYPT_HANDLE a = first->GetCryptObj();
  ASSERT_NE(a, nullptr);
  first->SetRootPath(a, rootA.path().c_str());
  ASSERT_EQ(SaveUnderRoot(first, a, "one.bin"), 0);
  EXPECT_TRUE(HasFileIgnoringCase(rootA.path(), "one.bin"));

  // The root's library directories now lead the search path, USER first.
  std::string path = GetEnv(kSearchPathVariable);
  size_t user = path.find(rootA.path() + kNativeSeparator + "USER");
  size_t system = path.find(rootA.path() + kNativeSeparator + "SYSTEM");
  size_t exe = path.find(rootA.path() + kNativeSeparator + "EXE");
  EXPECT_EQ(user, 0u) << path;
  EXPECT_LT(user, system);
  EXPECT_LT(system, exe);

  // Another root is refused for the process and for the engine alike.
  first->SetRootPath(a, rootB.path().c_str());
  ASSERT_EQ(SaveUnderRoot(first, a, "two.bin"), 0);
  EXPECT_TRUE(HasFileIgnoringCase(rootA.path(), "two.bin"));
  EXPECT_FALSE(HasFileIgnoringCase(rootB.path(), "two.bin"));

  // A second engine given another root keeps an empty root: its placeholder
  // paths resolve relative to the current directory.
  CRYPT_HANDLE b = first->GetCryptObj();
  first->SetRootPath(b, rootB.path().c_str());
  {
    CurrentDirectory inside(elsewhere.path());
    ASSERT_EQ(SaveUnderRoot(first, b, "three.bin"), 0);
  }
  EXPECT_TRUE(HasFileIgnoringCase(elsewhere.path(), "three.bin"));
  EXPECT_FALSE(HasFileIgnoringCase(rootB.path(), "three.bin"));

  first->DoneEngine(a);
  first->DoneEngine(b);
  first.Unload();
  EXPECT_FALSE(EngineLibrary::IsLoadedInProcess(CRYPTLIB_LIBRARY_PATH)) << "the library stayed in memory";
  SetEnv(kSearchPathVariable, savedPath);

  // Loaded again, the library starts without a root.
  EngineLibrary second;
  ASSERT_TRUE(second.Load(CRYPTLIB_LIBRARY_PATH)) << second.error();
  CRYPT_HANDLE c = second->GetCryptObj();
  ASSERT_NE(c, nullptr);
  second->SetRootPath(c, rootB.path().c_str());
  ASSERT_EQ(SaveUnderRoot(second, c, "four.bin"), 0);
  EXPECT_TRUE(HasFileIgnoringCase(rootB.path(), "four.bin"));
  second->DoneEngine(c);
  SetEnv(kSearchPathVariable, savedPath);
}

TEST(Lifetime, SameRootWithOrWithoutTrailingDelimiterIsAccepted) {
  TestDir root;
  EngineLibrary library;
  ASSERT_TRUE(library.Load(CRYPTLIB_LIBRARY_PATH)) << library.error();
  CRYPT_HANDLE engine = library->GetCryptObj();
  library->SetRootPath(engine, root.path().c_str());
  library->SetRootPath(engine, (root.path() + "/").c_str());
  ASSERT_EQ(SaveUnderRoot(library, engine, "same.bin"), 0);
  EXPECT_TRUE(HasFileIgnoringCase(root.path(), "same.bin"));
  library->DoneEngine(engine);
}

TEST(Lifetime, HandlesOfAnUnloadedLibraryAreNotReused) {
  EngineLibrary library;
  ASSERT_TRUE(library.Load(CRYPTLIB_LIBRARY_PATH)) << library.error();
  CRYPT_HANDLE engine = library->GetCryptObj();
  library->DoneEngine(engine);
  // A released handle is refused, also by DoneEngine itself.
  library->DoneEngine(engine);
  EXPECT_EQ(library->GetMaxUIDLength(engine), -1);
}

}  // namespace
}  // namespace cryptlib::test
