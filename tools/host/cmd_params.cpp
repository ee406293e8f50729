// params: the parameters an engine gets from the profile, and changing them
// in the profile (the engine keeps nothing between commands).
#include <string>

#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

int Show(const Options& options, Output& out) {
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  EngineClient& engine = session.engine();
  const std::vector<std::string> names = engine.ParamNames();
  std::string json = "[", human;
  for (size_t i = 0; i < names.size(); ++i) {
    const auto number = static_cast<int32_t>(i) + 1;
    const std::string value = engine.ParamValue(number);
    json += (i > 0 ? ", " : "") + std::string("{\"number\": ") + std::to_string(number) +
            ", \"name\": " + JsonString(names[i]) + ", \"value\": " + JsonString(value) + "}";
    human += (i > 0 ? "\n" : "") + std::string(number < 10 ? " " : "") + std::to_string(number) + " " + names[i] +
             " = " + value;
  }
  out.Add("profile", ProfilePath(options));
  out.AddRaw("parameters", json + "]", human);
  return kExitOk;
}

// Checks the value on an engine (it may refuse it) before the profile keeps it.
int Set(const Options& options, Output& out) {
  if (options.words.size() != 4) return Session::Fail(out, "usage: params set NAME_OR_NUMBER VALUE", kExitUsage);
  const std::string name = options.Word(2), value = options.Word(3);
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const int number = ParameterNumber(name, session.engine().ParamNames());
  if (number == 0) return Session::Fail(out, "no parameter " + name, kExitUsage);
  const Status status = session.engine().SetParam(number, value);
  if (!status.ok()) return session.Fail(out, status);
  Profile profile;
  std::string error;
  const std::string path = ProfilePath(options);
  if (!profile.Load(path, error)) return Session::Fail(out, error, profile.unreadable() ? kExitFile : kExitUsage);
  profile.Set(name, value);
  if (!profile.Save(path)) return Session::Fail(out, "cannot write " + path, kExitFile);
  out.Add("profile", path);
  out.Add("number", number);
  out.Add("value", session.engine().ParamValue(number));
  return kExitOk;
}

}  // namespace

std::vector<Command> ParamCommands() {
  return {
      {"params show", {}, {}, "list the engine's parameters with the profile applied", Show},
      {"params set", {"NAME_OR_NUMBER", "VALUE"}, {}, "check a value on an engine and keep it in the profile", Set}};
}

}  // namespace cryptlib::host
