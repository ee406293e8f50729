// The certificate store: the directory tree with the own and CA
// certificates, abonents' certificates, revocation lists, and who the
// current user is.
#include <string>

#include "command_io.h"
#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

// Commands of one argument handed to one export.
template <Status (EngineClient::*Operation)(const std::string&)>
int OneArgument(const Options& options, Output& out, const std::string& usage, const std::string& label) {
  int exitCode = 0;
  if (!NeedArguments(options, 1, 1, usage, out, exitCode)) return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = (session.engine().*Operation)(options.Word(1));
  if (!status.ok()) return session.Fail(out, status);
  out.Add(label, options.Word(1));
  return kExitOk;
}

int IncludeCertificate(const Options& options, Output& out) {
  return OneArgument<&EngineClient::IncludeCertificate>(options, out, "include-cert FILE", "included");
}

int RemoveCertificate(const Options& options, Output& out) {
  return OneArgument<&EngineClient::RemoveCertificate>(options, out, "remove-cert UID", "removed");
}

int IncludeCrl(const Options& options, Output& out) {
  return OneArgument<&EngineClient::IncludeCrl>(options, out, "include-crl FILE", "included");
}

int MakeDirectories(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 1, 1, "mkdirs OWN_CERTIFICATE [CA_FILE;CA_FILE...]", out, exitCode)) return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().CreateDirs(options.Word(1), options.Word(2));
  if (!status.ok()) return session.Fail(out, status);
  std::string uid;
  session.engine().CurrentUid(uid);
  out.Add("own_certificate", session.engine().ParamValue(1));
  out.Add("certificate_directory", session.engine().ParamValue(2));
  out.Add("current_user", uid);
  return kExitOk;
}

int WhoAmI(const Options& options, Output& out) {
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  std::string uid;
  const Status status = session.engine().CurrentUid(uid);
  if (!status.ok()) return session.Fail(out, status);
  out.Add("uid", uid);
  return kExitOk;
}

// GetPublicKeyProperties of a holder (none: the certificate a remote
// generation received), or of a file or a transfer.
int Report(const Options& options, Output& out) {
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  EngineClient& engine = session.engine();
  if (options.Has("remote-dir")) engine.SetRemotePath(options.Get("remote-dir"));
  std::string report;
  Status status;
  if (options.Has("file")) {
    status = engine.PropertiesOfFile(options.Get("file"), report);
  } else if (options.Has("transfer")) {
    std::string transfer;
    int exitCode = 0;
    if (!ReadInput(options.Get("transfer"), transfer, out, exitCode)) return exitCode;
    status = engine.PropertiesOfTransfer(transfer, report);
  } else {
    status = engine.Properties(options.Word(1), report);
  }
  if (!status.ok()) return session.Fail(out, status);
  out.AddReport("report", report);
  return kExitOk;
}

}  // namespace

std::vector<Command> StoreCommands() {
  return {
      {"mkdirs",
       {"OWN_CERTIFICATE", "[CA_FILES]"},
       {},
       "lay out the directories, file the own and the CA certificates (CreateDirStructure); CA_FILES: F;F...",
       MakeDirectories},
      {"include-cert", {"FILE"}, {}, "file an abonent's certificate (IncludePublicKey)", IncludeCertificate},
      {"remove-cert", {"UID"}, {}, "remove an abonent's certificate (RemoveCertificate)", RemoveCertificate},
      {"include-crl", {"FILE"}, {}, "file a revocation list (IncludeCRL)", IncludeCrl},
      {"whoami", {}, {}, "the current user's UID (GetCurrentUserUID)", WhoAmI},
      {"report",
       {"[UID]"},
       {{"--file", "FILE", "the properties of a certificate file"},
        {"--transfer", "FILE", "the properties of the certificate or request a transfer carries"},
        {"--remote-dir", "DIR", "the remote generation directory (a holder's new certificate)"}},
       "a certificate's properties (GetPublicKeyProperties[ByFile|ByTransfer])",
       Report},
  };
}

}  // namespace cryptlib::host
