// What every engine command does first and last: load the engine library by
// name (--library, default the platform's file name, found like a client
// finds it), create an engine with the installation root (--root), give it
// the profile's parameters (--profile), and release it at the end.
#pragma once

#include <memory>
#include <string>

#include "engine_client.h"
#include "loader/cryptlib_loader.h"
#include "options.h"
#include "output.h"
#include "profile.h"

namespace cryptlib::host {

// The profile file a command reads: --profile, else $CRYPTLIB_PROFILE, else
// "cryptlib.profile" in the current directory.
std::string ProfilePath(const Options& options);
// Whether the profile was named (--profile, $CRYPTLIB_PROFILE): then it must
// exist; the default file may be absent.
bool ProfileNamed(const Options& options);

class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads, creates and configures; false with the reason in out and the
  // exit status in exitCode.
  bool Open(const Options& options, Output& out, bool applyProfile = true);
  EngineClient& engine() { return *engine_; }
  EngineLibrary& library() { return library_; }

  // Adds the failure's code and texts to out; answers kExitFailed. Keys
  // that stayed closed for their passphrase are said so, with the PIN
  // source that was asked (pin_source).
  int Fail(Output& out, const Status& status) const;
  // The same for data the engine refused (a signature, an encryption):
  // answers kExitRefused (kExitFailed for a passphrase failure: the data
  // was not judged).
  int Refuse(Output& out, const Status& status) const;
  // A check of the tool's own (a file that cannot be read, a bad argument).
  static int Fail(Output& out, const std::string& message, int exitCode);
  int exitCode = 0;

 private:
  bool ApplyProfile(const std::string& path, bool mustExist, Output& out);

  EngineLibrary library_;
  std::unique_ptr<EngineClient> engine_;
};

}  // namespace cryptlib::host
