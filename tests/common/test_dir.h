// A fresh temporary directory per test, removed with everything in it when
// the object goes out of scope.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cryptlib::test {

class TestDir {
 public:
  TestDir();
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  // Native path of the directory, without a trailing separator.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  void WriteFile(const std::string& relative, const std::string& contents) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

// Removes every root this process made and has not removed yet, for a
// program about to abort (a watchdog's verdict): abort() runs no exit
// handlers.
void RemoveTestRootsBeforeAbort();

// Every file below root (relative path with "/" -> contents) but the
// directories' lock files (".lock"); empty when the directory does not exist.
using FileTree = std::map<std::string, std::string>;
FileTree ReadFileTree(const std::string& root);

// The files below the roots that hold key material (every file but
// certificates and requests: ".pem" names, their writers' temporaries and
// text beginning "-----BEGIN CERTIFICATE"; the "CA" and "CRL" directories;
// the lock files. ".old" backups included)
// and that group or others may read or write.
std::vector<std::string> KeyFilesOpenToOthers(const std::vector<std::string>& roots);

}  // namespace cryptlib::test
