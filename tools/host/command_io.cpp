#include "command_io.h"

#include "commands.h"
#include "files.h"
#include "session.h"

namespace cryptlib::host {

bool NeedArguments(const Options& options, size_t wordCount, size_t count, const std::string& usage, Output& out,
                   int& exitCode) {
  if (options.words.size() >= wordCount + count) return true;
  exitCode = Session::Fail(out, "usage: cryptlib-host " + usage, kExitUsage);
  return false;
}

bool ReadInput(const std::string& path, std::string& contents, Output& out, int& exitCode) {
  if (ReadWholeFile(path, contents)) return true;
  exitCode = Session::Fail(out, "cannot read " + path, kExitFailed);
  return false;
}

int WriteOutput(const std::string& path, const std::string& contents, Output& out) {
  if (!WriteWholeFile(path, contents)) return Session::Fail(out, "cannot write " + path, kExitFailed);
  out.Add("output", path);
  out.Add("bytes", static_cast<int64_t>(contents.size()));
  return kExitOk;
}

}  // namespace cryptlib::host
