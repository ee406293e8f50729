#include "bench_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace cryptlib::bench {

BenchDir::BenchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cryptlib-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
  path_ = pattern;
}

BenchDir::~BenchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void BenchDir::WriteFile(const std::string& relative, const std::string& contents) const {
  const std::filesystem::path file = *this / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << contents;
}

void BenchDir::MakeDir(const std::string& relative) const {
  std::filesystem::create_directories(*this / relative);
}

}  // namespace cryptlib::bench
