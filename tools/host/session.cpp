#include "session.h"

#include <cstdlib>

#include "commands.h"
#include "passphrase_text.h"

namespace cryptlib::host {

namespace {

std::string ProfileFromEnvironment() {
  const char* fromEnvironment = std::getenv("CRYPTLIB_PROFILE");
  return fromEnvironment != nullptr ? fromEnvironment : "";
}

}  // namespace

std::string ProfilePath(const Options& options) {
  if (options.Has("profile")) return options.Get("profile");
  const std::string fromEnvironment = ProfileFromEnvironment();
  return !fromEnvironment.empty() ? fromEnvironment : "cryptlib.profile";
}

bool ProfileNamed(const Options& options) {
  return options.Has("profile") || !ProfileFromEnvironment().empty();
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
  if (!applyProfile) return true;
  if (!ApplyProfile(ProfilePath(options), ProfileNamed(options), out)) return false;
  // A PIN source on the line outranks the profile's.
  if (!options.Has("pin-source")) return true;
  const Status status = engine_->SetParam(kPinSourceParameter, options.Get("pin-source"));
  if (status.ok()) return true;
  out.Add("parameter", "--pin-source");
  exitCode = Fail(out, status);
  return false;
}

bool Session::ApplyProfile(const std::string& path, bool mustExist, Output& out) {
  Profile profile;
  std::string error;
  if (!profile.Load(path, error, mustExist)) {
    exitCode = Fail(out, error, profile.unreadable() ? kExitFile : kExitUsage);
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
  if (IsPassphraseFailure(status.code)) {
    const std::string pinSource = engine_->ParamValue(kPinSourceParameter);
    out.Add("error", PassphraseFailureText(status.code, pinSource));
    out.Add("pin_source", pinSource);
  } else {
    out.Add("error", engine_->ErrorText(status.code));
  }
  out.Add("last_error", engine_->LastError());
  return kExitFailed;
}

int Session::Refuse(Output& out, const Status& status) const {
  // Keys that stayed closed say nothing about the data: not a refusal.
  if (IsPassphraseFailure(status.code)) return Fail(out, status);
  Fail(out, status);
  return kExitRefused;
}

int Session::Fail(Output& out, const std::string& message, int exitCode) {
  out.Add("error", message);
  return exitCode;
}

}  // namespace cryptlib::host
