#include "command_io.h"

#include <filesystem>

#include "commands.h"
#include "files.h"
#include "pem.h"
#include "session.h"

namespace cryptlib::host {

bool NeedArguments(const Options& options, size_t wordCount, size_t count, const std::string& usage, Output& out,
                   int& exitCode) {
  if (options.words.size() >= wordCount + count) return true;
  exitCode = Session::Fail(out, "usage: cryptlib-host " + usage, kExitUsage);
  return false;
}

bool ReadInput(const std::string& path, std::string& contents, Output& out, int& exitCode) {
  std::string reason;
  if (ReadWholeFile(path, contents, reason)) return true;
  exitCode = Session::Fail(out, "cannot read " + path + ": " + reason, kExitFile);
  return false;
}

bool ReadData(const std::string& path, std::string& contents, Output& out, int& exitCode) {
  if (!ReadInput(path, contents, out, exitCode)) return false;
  if (!LooksLikePem(contents)) return true;
  std::string der;
  if (PemDecode(contents, der)) {
    contents.swap(der);
    return true;
  }
  exitCode = Session::Fail(out, path + ": damaged PEM", kExitRefused);
  return false;
}

bool OutputFree(const Options& options, const std::string& path, Output& out, int& exitCode) {
  std::error_code error;
  if (path == "-" || options.Has("force") || !std::filesystem::exists(path, error)) return true;
  exitCode = Session::Fail(out, "cannot write " + path + ": exists (--force replaces it)", kExitFile);
  return false;
}

int WriteOutput(const Options& options, const std::string& path, const std::string& contents, Output& out,
                const char* pemLabel) {
  const bool pem = pemLabel != nullptr && options.Has("pem");
  std::string reason;
  if (path == "-") out.DataOnStdout();
  if (!WriteWholeFile(path, pem ? PemEncode(pemLabel, contents) : contents, reason, options.Has("force")))
    return Session::Fail(out, "cannot write " + path + ": " + reason, kExitFile);
  out.Add("output", path);
  out.Add("bytes", static_cast<int64_t>(contents.size()));
  return kExitOk;
}

}  // namespace cryptlib::host
