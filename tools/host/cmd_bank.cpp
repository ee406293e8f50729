// The bank's side where a flow needs one: the certificate authority (made,
// issuing from requests, revocation lists) and the answer to a remote key
// replacement. The authority lives in the directory --ca names.
#include <sstream>
#include <string>
#include <vector>

#include "bank_ca.h"
#include "bank_desk.h"
#include "command_io.h"
#include "commands.h"
#include "session.h"

namespace cryptlib::host {
namespace {

constexpr int kDefaultDays = 365;

bool OpenCa(const Options& options, BankCa& ca, Output& out, int& exitCode) {
  if (!options.Has("ca")) {
    exitCode = Session::Fail(out, "the authority's directory is missing: --ca DIR", kExitUsage);
    return false;
  }
  if (ca.Open(options.Get("ca"))) return true;
  exitCode = Session::Fail(out, ca.error(), kExitFailed);
  return false;
}

int Days(const Options& options) {
  return std::stoi(options.Get("days", std::to_string(kDefaultDays)));
}

int Init(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 2, 1, "bank init DIR [--org NAME] [--cn NAME]", out, exitCode)) return exitCode;
  BankCa ca;
  if (!ca.Create(options.Word(2), options.Get("org", "Bank"), options.Get("cn", "Bank CA")))
    return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("certificate", ca.CertificatePath());
  return kExitOk;
}

int Issue(const Options& options, Output& out) {
  int exitCode = 0;
  BankCa ca;
  if (!NeedArguments(options, 2, 2, "bank issue REQUEST CERTIFICATE --ca DIR [--days N]", out, exitCode) ||
      !OpenCa(options, ca, out, exitCode))
    return exitCode;
  long serial = 0;
  if (!ca.Issue(options.Word(2), options.Word(3), Days(options), serial))
    return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("certificate", options.Word(3));
  out.Add("serial", serial);
  return kExitOk;
}

// "--revoke 4097,4099": the serials the list names.
int Crl(const Options& options, Output& out) {
  int exitCode = 0;
  BankCa ca;
  if (!NeedArguments(options, 2, 1, "bank crl OUT --ca DIR [--revoke SERIAL,SERIAL...]", out, exitCode) ||
      !OpenCa(options, ca, out, exitCode))
    return exitCode;
  std::vector<long> serials;
  std::stringstream list(options.Get("revoke"));
  for (std::string item; std::getline(list, item, ',');)
    if (!item.empty()) serials.push_back(std::stol(item, nullptr, 0));
  if (!ca.WriteCrl(options.Word(2), serials)) return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("crl", options.Word(2));
  out.Add("revoked", static_cast<int64_t>(serials.size()));
  return kExitOk;
}

// The bank's own engine (its profile) unpacks the request and signs the answer.
int Answer(const Options& options, Output& out) {
  int exitCode = 0;
  BankCa ca;
  std::string request;
  if (!NeedArguments(options, 2, 3, "bank answer REQUEST_TRANSFER OUT_TRANSFER WORK_DIR --ca DIR [--profile FILE]", out,
                     exitCode) ||
      !OpenCa(options, ca, out, exitCode) || !ReadInput(options.Word(2), request, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  BankAnswer answer;
  if (!AnswerRequestTransfer(session.engine(), ca, request, options.Word(4), Days(options), answer))
    return Session::Fail(out, answer.error, kExitFailed);
  out.Add("request", answer.requestReport);
  out.Add("serial", answer.serial);
  return WriteOutput(options.Word(3), answer.transfer, out);
}

}  // namespace

std::vector<Command> BankCommands() {
  return {
      {"bank init", "DIR [--org NAME] [--cn NAME]", "make the bank's certificate authority in DIR", Init},
      {"bank issue", "REQUEST CERTIFICATE --ca DIR [--days N]", "issue a certificate from a PKCS#10 request", Issue},
      {"bank crl", "OUT --ca DIR [--revoke SERIAL,...]", "write a revocation list", Crl},
      {"bank answer", "REQUEST_TRANSFER OUT_TRANSFER WORK_DIR --ca DIR [--profile FILE]",
       "answer a remote key replacement request with a certificate transfer", Answer},
  };
}

}  // namespace cryptlib::host
