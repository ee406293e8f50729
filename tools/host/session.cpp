#include "session.h"

#include <cstdlib>

#include "commands.h"

namespace cryptlib::host {

std::string ProfilePath(const Options& options) {
  if (options.Has("profile")) return options.Get("profile");
  const char* fromEnvironment = std::getenv("CRYPTLIB_PROFILE");
  return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "cryptlib.profile";
}

bool Session::Open(const Options& options, Output& out, bool applyProfile) {
  const std::string name = options.Get("library", EngineLibrary::DefaultFileName());
  if (!library_.Load(name)) {
    exitCode = Fail(out, "cannot load " + name + ": " + library_.error(), kExitNoEngine);
    return false;
  }
  if (library_.boundCount() != 76) {
    exitCode = Fail(out, name + " lacks exports (" + std::to_string(library_.boundCount()) + " of 76)", kExitNoEngine);
    return false;
  }
  engine_ = std::make_unique<EngineClient>(library_.api(), options.Get("root"));
  if (!engine_->created()) {
    exitCode = Fail(out, "GetCryptObj returned nil", kExitNoEngine);
    return false;
  }
  return !applyProfile || ApplyProfile(ProfilePath(options), out);
}

bool Session::ApplyProfile(const std::string& path, Output& out) {
  Profile profile;
  std::string error;
  if (!profile.Load(path, error)) {
    exitCode = Fail(out, error, kExitUsage);
    return false;
  }
  const std::vector<Profile::Entry> entries = profile.Entries();
  if (entries.empty()) return true;
  const std::vector<std::string> names = engine_->ParamNames();
  for (const Profile::Entry& entry : entries) {
    const int number = ParameterNumber(entry.name, names);
    if (number == 0) {
      exitCode = Fail(out, path + ": no parameter " + entry.name, kExitUsage);
      return false;
    }
    const Status status = engine_->SetParam(number, entry.value);
    if (!status.ok()) {
      out.Add("parameter", entry.name);
      exitCode = Fail(out, status);
      return false;
    }
  }
  return true;
}

int Session::Fail(Output& out, const Status& status) const {
  out.Add("call", status.call);
  out.Add("code", status.code);
  out.Add("error", engine_->ErrorText(status.code));
  out.Add("last_error", engine_->LastError());
  return kExitFailed;
}

int Session::Fail(Output& out, const std::string& message, int exitCode) {
  out.Add("error", message);
  return exitCode;
}

}  // namespace cryptlib::host
