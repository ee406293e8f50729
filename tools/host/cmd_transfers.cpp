// Public key transfers: the signed texts carrying a certificate or request
// between abonents and the bank.
#include <string>

#include "command_io.h"
#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

// The own certificate (ExcludeSelfPublicKeyTransfer), a holder's
// (--uid, GetPublicKeyTransfer) or a file's (--file, GetPublicKeyTransferByFile).
int Export(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 1, 1, "export OUT [--uid UID | --file FILE]", out, exitCode)) return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  std::string transfer;
  const Status status = options.Has("uid")    ? session.engine().TransferOf(options.Get("uid"), transfer)
                        : options.Has("file") ? session.engine().TransferOfFile(options.Get("file"), transfer)
                                              : session.engine().OwnTransfer(transfer);
  if (!status.ok()) return session.Fail(out, status);
  return WriteOutput(options, options.Word(1), transfer, out);
}

int Inspect(const Options& options, Output& out) {
  int exitCode = 0;
  std::string transfer, uid, report;
  if (!NeedArguments(options, 1, 1, "inspect TRANSFER", out, exitCode) ||
      !ReadInput(options.Word(1), transfer, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  Status status = session.engine().UidOfTransfer(transfer, uid);
  if (!status.ok()) return session.Fail(out, status);
  status = session.engine().PropertiesOfTransfer(transfer, report);
  if (!status.ok()) return session.Fail(out, status);
  out.Add("uid", uid);
  out.AddReport("report", report);
  return kExitOk;
}

template <Status (EngineClient::*Operation)(const std::string&)>
int TransferIn(const Options& options, Output& out, const std::string& usage) {
  int exitCode = 0;
  std::string transfer, uid;
  if (!NeedArguments(options, 1, 1, usage, out, exitCode) || !ReadInput(options.Word(1), transfer, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = (session.engine().*Operation)(transfer);
  if (!status.ok()) return session.Fail(out, status);
  session.engine().UidOfTransfer(transfer, uid);
  out.Add("included", uid);
  return kExitOk;
}

int Import(const Options& options, Output& out) {
  return TransferIn<&EngineClient::ImportTransfer>(options, out, "import TRANSFER");
}

int IncludeCa(const Options& options, Output& out) {
  return TransferIn<&EngineClient::IncludeCaTransfer>(options, out, "include-ca TRANSFER");
}

int Save(const Options& options, Output& out) {
  int exitCode = 0;
  std::string transfer;
  if (!NeedArguments(options, 1, 2, "save-transfer TRANSFER DIRECTORY", out, exitCode) ||
      !ReadInput(options.Word(1), transfer, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  const Status status = session.engine().SaveTransfer(options.Word(2), transfer);
  if (!status.ok()) return session.Fail(out, status);
  out.Add("saved", options.Word(2) + "/Tmp_cert.pem");
  return kExitOk;
}

int Match(const Options& options, Output& out) {
  int exitCode = 0;
  std::string certificate, request;
  if (!NeedArguments(options, 1, 2, "match CERTIFICATE_TRANSFER REQUEST_TRANSFER", out, exitCode) ||
      !ReadInput(options.Word(1), certificate, out, exitCode) || !ReadInput(options.Word(2), request, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  bool match = false;
  const Status status = session.engine().TransferMatch(certificate, request, match);
  if (!status.ok()) return session.Fail(out, status);
  out.AddBool("match", match);
  return kExitOk;
}

}  // namespace

std::vector<Command> TransferCommands() {
  return {
      {"export",
       {"OUT"},
       {{"--uid", "UID", "the transfer of this holder's certificate"},
        {"--file", "FILE", "the transfer of this certificate file"},
        ForceOption()},
       "write a public key transfer (own certificate by default)",
       Export},
      {"inspect", {"TRANSFER"}, {}, "the UID and properties a transfer carries", Inspect},
      {"import", {"TRANSFER"}, {}, "file the certificate a transfer carries (IncludePublicKeyTransfer)", Import},
      {"include-ca",
       {"TRANSFER"},
       {},
       "file a CA certificate from a transfer (IncludeCACertificateFromTransfer)",
       IncludeCa},
      {"save-transfer", {"TRANSFER", "DIRECTORY"}, {}, "write the carried file as DIRECTORY/Tmp_cert.pem", Save},
      {"match", {"CERTIFICATE_TRANSFER", "REQUEST_TRANSFER"}, {}, "whether a certificate answers a request", Match},
  };
}

}  // namespace cryptlib::host
