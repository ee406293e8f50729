// Data commands: encryption for abonents, decryption, detached signatures
// and signatures attached to the data. Input and output are files or "-";
// what the engine refuses in decrypt, verify and detach is data that is not
// what it claims (exit status 1).
#include <string>

#include "command_io.h"
#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

int Encrypt(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data;
  if (!NeedArguments(options, 1, 2, "encrypt IN OUT [--to UID;UID...]", out, exitCode) ||
      !ReadInput(options.Word(1), data, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  if (!session.engine().FitsEncryption(data.size(), options.Get("to")))
    return Session::Fail(out, options.Word(1) + ": too large to encrypt within the engine's 32-bit lengths", kExitFile);
  const Status status = session.engine().Encrypt(data, options.Get("to"));
  if (!status.ok()) return session.Fail(out, status);
  out.Add("recipients", options.Get("to", "(parameter 19 or the module's default)"));
  return WriteOutput(options, options.Word(2), data, out, "CMS");
}

int Decrypt(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data, recipient;
  if (!NeedArguments(options, 1, 2, "decrypt IN OUT", out, exitCode) || !ReadData(options.Word(1), data, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().Decrypt(data, recipient);
  if (!status.ok()) return session.Refuse(out, status);
  out.Add("decrypted_for", recipient);
  return WriteOutput(options, options.Word(2), data, out);
}

int Sign(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data, signature;
  if (!NeedArguments(options, 1, 2, "sign IN SIGNATURE [--signer UID]", out, exitCode) ||
      !ReadInput(options.Word(1), data, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().Sign(data, signature, options.Get("signer"));
  if (!status.ok()) return session.Fail(out, status);
  return WriteOutput(options, options.Word(2), signature, out, "CMS");
}

int Verify(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data, signature, signer;
  if (!NeedArguments(options, 1, 2, "verify IN SIGNATURE [--ignore-time]", out, exitCode) ||
      !ReadInput(options.Word(1), data, out, exitCode) || !ReadData(options.Word(2), signature, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().Verify(data, signature, signer, options.Has("ignore-time"));
  if (!status.ok()) {
    out.AddBool("valid", false);
    return session.Refuse(out, status);
  }
  out.AddBool("valid", true);
  out.Add("signer", signer);
  return kExitOk;
}

int Attach(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data;
  if (!NeedArguments(options, 1, 2, "attach IN OUT [--signer UID]", out, exitCode) ||
      !ReadInput(options.Word(1), data, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  if (!session.engine().FitsSignature(data.size()))
    return Session::Fail(out, options.Word(1) + ": too large to sign within the engine's 32-bit lengths", kExitFile);
  const Status status = session.engine().AddSign(data, options.Get("signer"));
  if (!status.ok()) return session.Fail(out, status);
  return WriteOutput(options, options.Word(2), data, out, "CMS");
}

int Detach(const Options& options, Output& out) {
  int exitCode = 0;
  std::string data, signer;
  if (!NeedArguments(options, 1, 2, "detach IN OUT", out, exitCode) || !ReadData(options.Word(1), data, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().RemoveSign(data, signer);
  if (!status.ok()) return session.Refuse(out, status);
  out.Add("signer", signer);
  return WriteOutput(options, options.Word(2), data, out);
}

}  // namespace

std::vector<Command> DataCommands() {
  const OptionSpec signer{"--signer", "UID", "sign with this holder's key (default: the current user)"};
  return {
      {"encrypt",
       {"IN", "OUT"},
       {{"--to", "UID;UID", "the recipients (default: parameter 19 or the module's)"}, PemOption(), ForceOption()},
       "encrypt a file for abonents (EncodeData)",
       Encrypt},
      {"decrypt", {"IN", "OUT"}, {ForceOption()}, "decrypt a file for the current user (DecodeData)", Decrypt},
      {"sign",
       {"IN", "SIGNATURE"},
       {signer, PemOption(), ForceOption()},
       "write a detached signature of a file (SignData)",
       Sign},
      {"verify",
       {"IN", "SIGNATURE"},
       {{"--ignore-time", "", "accept certificates outside their validity"}},
       "check a detached signature (VerifyData)",
       Verify},
      {"attach",
       {"IN", "OUT"},
       {signer, PemOption(), ForceOption()},
       "sign a file with the signature attached (AddSign)",
       Attach},
      {"detach", {"IN", "OUT"}, {ForceOption()}, "check and strip an attached signature (RemoveSign)", Detach},
  };
}

}  // namespace cryptlib::host
