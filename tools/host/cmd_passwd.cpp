// keys passwd: changes the passphrase of a key container in place, through
// the reference module's own routine (change_passphrase.h), which keeps the
// old or the new passphrase working after an interruption at any file step.
// The current passphrase comes from --pin-source or the profile's parameter
// 8, the new one from --new-pin-source (asked twice); --remove takes the
// passphrase away.
#include <string>

#include "change_passphrase.h"
#include "commands.h"
#include "passphrase_text.h"
#include "session.h"

namespace cryptlib::host {
namespace {

// The key directory as the module finds it: parameter 3, else 23.
constexpr int32_t kKeyDirectoryParameter = 3;
constexpr int32_t kKeyMediaParameter = 23;
// The module's code for a key directory that is missing or unusable.
constexpr int32_t kKeyDirectoryFailure = 2016;

std::string KeyDirectory(const Options& options, const EngineClient& engine) {
  if (options.Has("key-dir")) return options.Get("key-dir");
  const std::string keys = engine.ParamValue(kKeyDirectoryParameter);
  return !keys.empty() ? keys : engine.ParamValue(kKeyMediaParameter);
}

// The failure in the user's words: a passphrase that is wrong or missing
// names the PIN source it came from.
int ChangeFailed(const ref::PassphraseChange& change, const std::string& current, const std::string& next,
                 Output& out) {
  out.Add("code", change.code);
  if (change.code == kWrongPassphrase && current.empty()) {
    // Without a current source the module tries the new passphrase, as
    // for a container whose first passphrase was being set.
    out.Add("error",
            "wrong passphrase: the key container is already under a passphrase, which the one from PIN source " + next +
                " does not open; give the current one with --pin-source; nothing was changed");
    out.Add("pin_source", next);
  } else if (change.code == kWrongPassphrase) {
    out.Add("error", PassphraseFailureText(change.code, current) + "; nothing was changed");
    out.Add("pin_source", current);
  } else if (change.code == kPassphraseUnavailable) {
    out.Add("error", "no passphrase from the PIN sources (current: " + (current.empty() ? "none" : current) +
                         ", new: " + (next.empty() ? "none" : next) + "); nothing was changed");
  } else {
    out.Add("error", "the passphrase was not changed: " + change.message);
  }
  out.Add("module_error", change.message);
  return change.code == kKeyDirectoryFailure ? kExitFile : kExitFailed;
}

int Passwd(const Options& options, Output& out) {
  if (options.Has("new-pin-source") == options.Has("remove"))
    return Session::Fail(out, "keys passwd takes --new-pin-source SOURCE or --remove", kExitUsage);
  const std::string next = options.Get("new-pin-source");
  if (options.Has("new-pin-source") && next.empty())
    return Session::Fail(out, "--new-pin-source is empty (--remove takes the passphrase away)", kExitUsage);
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const std::string directory = KeyDirectory(options, session.engine());
  if (directory.empty())
    return Session::Fail(out, "no key directory: --key-dir, or parameter 3 or 23 of the profile", kExitUsage);
  const std::string current = session.engine().ParamValue(kPinSourceParameter);
  ref::SetPinSourceRoot(options.Get("root"));
  const ref::PassphraseChange change = ref::ChangeContainerPassphrase(directory, current, next);
  out.Add("key_directory", directory);
  if (!change.ok()) return ChangeFailed(change, current, next, out);
  out.Add("passphrase", ref::DoneText(change.done));
  // What the commands need from now on in --pin-source or parameter 8.
  out.Add("pin_source", next);
  return kExitOk;
}

}  // namespace

std::vector<Command> PasswdCommands() {
  return {{"keys passwd",
           {},
           {{"--new-pin-source", "SOURCE", "where the new passphrase comes from (asked twice)"},
            {"--remove", "", "take the passphrase away: the keys then open without one"},
            {"--key-dir", "DIR", "the key container (default: the profile's parameter 3, else 23)"}},
           "change the passphrase of the key container in place (the current one from --pin-source or parameter 8)",
           Passwd}};
}

}  // namespace cryptlib::host
