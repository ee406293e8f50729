// A temporary directory for one benchmark program, removed with everything
// in it when the object goes out of scope.
#pragma once

#include <string>

namespace cryptlib::bench {

class BenchDir {
 public:
  BenchDir();
  ~BenchDir();
  BenchDir(const BenchDir&) = delete;
  BenchDir& operator=(const BenchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  void WriteFile(const std::string& relative, const std::string& contents) const;
  void MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace cryptlib::bench
