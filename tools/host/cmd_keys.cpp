// Keys: a local generation (keys and a request waiting for the bank's
// certificate) and the remote key replacement, where the request travels to
// the bank as a signed transfer and the certificate comes back as one.
#include <string>
#include <utility>
#include <vector>

#include "command_io.h"
#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

// The engine's code for a local generation that wrote keys and request: the
// keys are of no use until the bank's certificate arrives.
constexpr int32_t kGeneratedAwaitingCertificate = -100;

// Parameters of a generation on a token: the token (or an existing key
// object on it) and the PKCS#11 library.
constexpr int32_t kTokenUriParameter = 10;
constexpr int32_t kTokenLibraryParameter = 18;
constexpr int32_t kTokenGenerationParameter = 21;

bool UseToken(const Options& options, Session& session, Output& out) {
  std::vector<std::pair<int32_t, std::string>> values;
  if (options.Has("token")) {
    values = {{kTokenUriParameter, options.Get("token")}, {kTokenGenerationParameter, "1"}};
  }
  if (options.Has("token-library")) values.emplace_back(kTokenLibraryParameter, options.Get("token-library"));
  for (const auto& [number, value] : values) {
    const Status status = session.engine().SetParam(number, value);
    if (!status.ok()) {
      session.exitCode = session.Fail(out, status);
      return false;
    }
  }
  return true;
}

int Generate(const Options& options, Output& out) {
  Session session;
  if (!session.Open(options, out) || !UseToken(options, session, out)) return session.exitCode;
  const Status status = session.engine().GenerateKeys(options.Has("ssk"));
  if (status.code != 0 && status.code != kGeneratedAwaitingCertificate) return session.Fail(out, status);
  out.Add("code", status.code);
  out.Add("request", session.engine().ParamValue(9));
  if (options.Has("token")) out.Add("token", options.Get("token"));
  out.Add("state", "keys written; the request waits for the bank's certificate");
  return kExitOk;
}

int RemoteType(const Options& options, Output& out) {
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  out.Add("remote_type", session.engine().RemoteType());
  return kExitOk;
}

// The engine keeps no remote directory between commands: it is given again.
bool OpenRemote(const Options& options, Session& session, Output& out) {
  if (!session.Open(options, out)) return false;
  if (options.Has("remote-dir")) session.engine().SetRemotePath(options.Get("remote-dir"));
  return true;
}

int RemoteStart(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 2, 1, "remote start OUT [--from-params] [--key-name NAME] [--remote-dir DIR]", out,
                     exitCode))
    return exitCode;
  Session session;
  if (!OpenRemote(options, session, out)) return session.exitCode;
  std::string transfer;
  int calls = 0;
  uint32_t step = 0;
  const Status status =
      session.engine().RemoteStart(options.Has("from-params"), options.Get("key-name"), transfer, calls, step);
  out.Add("calls", calls);
  out.Add("step", static_cast<int64_t>(step));
  if (!status.ok()) return session.Fail(out, status);
  if (step != 1) return Session::Fail(out, "the procedure did not reach step 1", kExitFailed);
  return WriteOutput(options, options.Word(2), transfer, out);
}

int RemoteFinish(const Options& options, Output& out) {
  int exitCode = 0;
  std::string transfer;
  if (!NeedArguments(options, 2, 1, "remote finish CERTIFICATE_TRANSFER [--remote-dir DIR]", out, exitCode) ||
      !ReadInput(options.Word(2), transfer, out, exitCode))
    return exitCode;
  Session session;
  if (!OpenRemote(options, session, out)) return session.exitCode;
  uint32_t step = 2;
  const Status status = session.engine().RemoteFinish(transfer, step);
  out.Add("step", static_cast<int64_t>(step));
  if (!status.ok()) return session.Fail(out, status);
  std::string uid;
  session.engine().CurrentUid(uid);
  out.Add("current_user", uid);
  return kExitOk;
}

}  // namespace

std::vector<Command> KeyCommands() {
  const OptionSpec remoteDir{"--remote-dir", "DIR", "the remote generation directory (the same for start and finish)"};
  return {
      {"generate",
       {},
       {{"--ssk", "", "generate the signature key set (GenerateNewSSK)"},
        {"--token", "URI",
         "make the key pair on the PKCS#11 token of this URI (parameter 10); a URI naming a key object (id=, "
         "object=) takes that key; the container then holds a reference"},
        {"--token-library", "FILE", "the PKCS#11 library (parameter 18; default p11-kit-proxy.so)"}},
       "generate a key set and a certificate request (GenerateNewSEK, GenerateNewSSK)",
       Generate},
      {"remote type", {}, {}, "the remote generation type (GetRemoteGenType)", RemoteType},
      {"remote start",
       {"OUT"},
       {{"--from-params", "", "the new subject from the subject parameters (step 10), not the certificate"},
        {"--key-name", "NAME", "the new key's name (default: the engine names it)"},
        remoteDir,
        ForceOption()},
       "start a remote key replacement; OUT receives the request transfer",
       RemoteStart},
      {"remote finish",
       {"CERTIFICATE_TRANSFER"},
       {remoteDir},
       "finish a remote key replacement with the bank's certificate transfer",
       RemoteFinish},
  };
}

}  // namespace cryptlib::host
