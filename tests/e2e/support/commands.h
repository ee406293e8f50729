// Shell commands and files as the end-to-end tests use them.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "files.h"

namespace cryptlib::e2e {

// Runs command with its output discarded: its exit status, -1 when it could
// not be run.
inline int RunCommand(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status == -1 ? -1 : WEXITSTATUS(status);
}

// A file's contents; empty when it cannot be read.
inline std::string Read(const std::string& path) {
  std::string contents;
  host::ReadWholeFile(path, contents);
  return contents;
}

}  // namespace cryptlib::e2e
