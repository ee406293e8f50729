#include "common/test_dir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace cryptlib::test {

TestDir::TestDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("cryptlib-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a test directory");
}

TestDir::~TestDir() {
  std::error_code error;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(path_, error);
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

}  // namespace cryptlib::test
