#include "common/test_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#define CRYPTLIB_TEST_PID _getpid
#else
#include <unistd.h>
#define CRYPTLIB_TEST_PID getpid
#endif

namespace fs = std::filesystem;

namespace cryptlib::test {
namespace {

// Read-only directories inside a root (tests of refused writes) would stop
// remove_all: everything gets its owner's permissions back first. A removal
// that meets a change under it (a file appearing in a directory being
// emptied) is tried again; true when the root is gone.
bool RemoveTree(const std::string& path, std::error_code& error) {
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    error.clear();
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ignored);
         !ignored && it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, error);
    if (!fs::exists(path, ignored)) return true;
  }
  return false;
}

// Says which root stays and why, so that a leak names its cause in the log.
void RemoveTreeOrReport(const std::string& path) {
  std::error_code error;
  if (!RemoveTree(path, error))
    std::fprintf(stderr, "test root %s could not be removed: %s\n", path.c_str(), error.message().c_str());
}

// The roots this process made and has not removed yet. Roots that live for
// the whole program (made with new, never deleted, so that they outlast the
// engine's teardown) and roots of tests stopped by exit() are removed when
// the process exits; a forked child that exits leaves its parent's alone.
class LiveRoots {
 public:
  static LiveRoots& Get() {
    static LiveRoots* roots = new LiveRoots();
    return *roots;
  }
  void Add(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock_);
    // A forked child inherits the registration with the rest of memory.
    if (!registered_) std::atexit([] { Get().RemoveOwn(); });
    registered_ = true;
    makers_[path] = CRYPTLIB_TEST_PID();
  }
  void Remove(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock_);
    makers_.erase(path);
  }

  // The roots this process made; those it inherited belong to its parent.
  void RemoveOwn() {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [path, maker] : makers_)
      if (maker == CRYPTLIB_TEST_PID()) RemoveTreeOrReport(path);
    makers_.clear();
  }

 private:
  std::mutex lock_;
  std::map<std::string, decltype(CRYPTLIB_TEST_PID())> makers_;
  bool registered_ = false;
};

}  // namespace

void RemoveTestRootsBeforeAbort() {
  LiveRoots::Get().RemoveOwn();
}

TestDir::TestDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("cryptlib-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.string();
      LiveRoots::Get().Add(path_);
      return;
    }
  }
  throw std::runtime_error("cannot create a test directory");
}

TestDir::~TestDir() {
  // A root that cannot go now stays registered: the exit tries it again.
  std::error_code error;
  if (RemoveTree(path_, error)) LiveRoots::Get().Remove(path_);
}

void TestDir::WriteFile(const std::string& relative, const std::string& contents) const {
  fs::path target = fs::path(path_) / relative;
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + target.string());
}

std::string TestDir::ReadFile(const std::string& relative) const {
  std::ifstream in(fs::path(path_) / relative, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + relative);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool TestDir::Exists(const std::string& relative) const {
  return fs::exists(fs::path(path_) / relative);
}

void TestDir::MakeDir(const std::string& relative) const {
  fs::create_directories(fs::path(path_) / relative);
}

FileTree ReadFileTree(const std::string& root) {
  namespace fs = std::filesystem;
  FileTree tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    // A directory's lock file (empty, kept for the directory's lifetime) is
    // the engine's bookkeeping, not content.
    if (entry.path().filename() == ".lock") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    tree[fs::relative(entry.path(), root).generic_string()] = contents.str();
  }
  return tree;
}

namespace {

bool IsPublicText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string start(22, '\0');
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  return start == "-----BEGIN CERTIFICATE";
}

bool HoldsKeyMaterial(const fs::directory_entry& entry, const std::string& root) {
  const std::string name = entry.path().filename().string();
  // A certificate or request (".pem") and a writer's temporary of one
  // (".name.pem.<writer>.tmp", still empty when the writer was killed).
  if (!entry.is_regular_file() || name == ".lock" || name.find(".pem") != std::string::npos) return false;
  const std::string relative = fs::relative(entry.path(), root).generic_string();
  return relative.rfind("CA/", 0) != 0 && relative.rfind("CRL/", 0) != 0 && !IsPublicText(entry.path());
}

}  // namespace

std::vector<std::string> KeyFilesOpenToOthers(const std::vector<std::string>& roots) {
  constexpr fs::perms kOthers = fs::perms::group_all | fs::perms::others_all;
  std::vector<std::string> open;
  for (const std::string& root : roots) {
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root))
      if (HoldsKeyMaterial(entry, root) && (entry.status().permissions() & kOthers) != fs::perms::none)
        open.push_back(entry.path().string());
  }
  return open;
}

}  // namespace cryptlib::test
