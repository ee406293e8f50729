#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace cryptlib::host {
namespace {

namespace fs = std::filesystem;

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string TooLarge(uint64_t limit) {
  return "larger than the engine's 32-bit lengths carry (at most " + std::to_string(limit) + " bytes)";
}

// Reads to the end, refusing to grow past limit (a pipe's size is unknown).
bool ReadStream(FILE* in, std::string& contents, std::string& reason, uint64_t limit) {
  contents.clear();
  char chunk[65536];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
    if (contents.size() + got > limit) {
      reason = TooLarge(limit);
      return false;
    }
    contents.append(chunk, got);
  }
  if (std::ferror(in) == 0) return true;
  reason = std::strerror(errno);
  return false;
}

void BinaryStandardStreams() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& contents, std::string& reason, uint64_t limit) {
  if (path == "-") {
    BinaryStandardStreams();
    return ReadStream(stdin, contents, reason, limit);
  }
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) {
    reason = error.message();
    return false;
  }
  if (fs::is_directory(status)) {
    reason = "is a directory";
    return false;
  }
  if (fs::is_regular_file(status) && fs::file_size(path, error) > limit) {
    reason = std::to_string(fs::file_size(path, error)) + " bytes: " + TooLarge(limit);
    return false;
  }
  File in(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!in) {
    reason = std::strerror(errno);
    return false;
  }
  return ReadStream(in.get(), contents, reason, limit);
}

bool WriteWholeFile(const std::string& path, const std::string& contents, std::string& reason, bool replace) {
  if (path == "-") {
    BinaryStandardStreams();
    if (std::fwrite(contents.data(), 1, contents.size(), stdout) == contents.size() && std::fflush(stdout) == 0)
      return true;
    reason = std::strerror(errno);
    return false;
  }
  std::error_code error;
  if (!replace && fs::exists(path, error)) {
    reason = "exists (--force replaces it)";
    return false;
  }
  if (fs::is_directory(path, error)) {
    reason = "is a directory";
    return false;
  }
  const std::string temporary = path + ".cryptlib-partial";
  {
    File out(std::fopen(temporary.c_str(), "wb"), std::fclose);
    if (!out) {
      reason = std::strerror(errno);
      return false;
    }
    const bool written =
        std::fwrite(contents.data(), 1, contents.size(), out.get()) == contents.size() && std::fflush(out.get()) == 0;
    if (!written) {
      reason = std::strerror(errno);
      out.reset();
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, path, error);
  if (!error) return true;
  reason = error.message();
  fs::remove(temporary, error);
  return false;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::string reason;
  return ReadWholeFile(path, contents, reason);
}

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  std::string reason;
  return WriteWholeFile(path, contents, reason);
}

}  // namespace cryptlib::host
