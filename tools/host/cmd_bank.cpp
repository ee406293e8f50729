// The bank's side where a flow needs one: the certificate authority (made,
// issuing from requests, revocation lists) and the answer to a remote key
// replacement. The authority lives in the directory --ca names.
#include <filesystem>
#include <string>
#include <vector>

#include "bank_ca.h"
#include "bank_desk.h"
#include "command_io.h"
#include "commands.h"
#include "session.h"
#include "values.h"

namespace cryptlib::host {
namespace {

constexpr int kDefaultDays = 365;
// A hundred years: beyond it the dates of a certificate say nothing useful.
constexpr int kMaxDays = 36500;

bool OpenCa(const Options& options, BankCa& ca, Output& out, int& exitCode) {
  if (!options.Has("ca")) {
    exitCode = Session::Fail(out, "the authority's directory is missing: --ca DIR", kExitUsage);
    return false;
  }
  if (ca.Open(options.Get("ca"))) return true;
  exitCode = Session::Fail(out, ca.error(), kExitFailed);
  return false;
}

bool Days(const Options& options, int& days, Output& out, int& exitCode) {
  days = kDefaultDays;
  if (!options.Has("days") || ParsePositive(options.Get("days"), kMaxDays, days)) return true;
  exitCode = Session::Fail(out, "--days " + options.Get("days") + ": not a number of days from 1 to 36500", kExitUsage);
  return false;
}

int Init(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 2, 1, "bank init DIR [--org NAME] [--cn NAME]", out, exitCode)) return exitCode;
  std::error_code error;
  if (std::filesystem::exists(options.Word(2) + "/ca.key", error) && !options.Has("force"))
    return Session::Fail(out, options.Word(2) + " holds an authority already (--force replaces its key)", kExitFile);
  BankCa ca;
  if (!ca.Create(options.Word(2), options.Get("org", "Bank"), options.Get("cn", "Bank CA")))
    return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("certificate", ca.CertificatePath());
  return kExitOk;
}

int Issue(const Options& options, Output& out) {
  int exitCode = 0, days = 0;
  BankCa ca;
  if (!NeedArguments(options, 2, 2, "bank issue REQUEST CERTIFICATE --ca DIR [--days N]", out, exitCode) ||
      !Days(options, days, out, exitCode) || !OutputFree(options, options.Word(3), out, exitCode) ||
      !OpenCa(options, ca, out, exitCode))
    return exitCode;
  long serial = 0;
  if (!ca.Issue(options.Word(2), options.Word(3), days, serial)) return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("certificate", options.Word(3));
  out.Add("serial", SerialText(serial));
  return kExitOk;
}

// "--revoke 10:01,10:03": the serials the list names, as reports print them.
int Crl(const Options& options, Output& out) {
  int exitCode = 0;
  std::vector<long long> serials;
  std::string bad;
  if (options.Has("revoke") && !ParseSerialList(options.Get("revoke"), serials, bad))
    return Session::Fail(out, "--revoke: " + bad + " is not a serial (hexadecimal as reports print it: 10:01)",
                         kExitUsage);
  BankCa ca;
  if (!NeedArguments(options, 2, 1, "bank crl OUT --ca DIR [--revoke SERIAL,SERIAL...]", out, exitCode) ||
      !OutputFree(options, options.Word(2), out, exitCode) || !OpenCa(options, ca, out, exitCode))
    return exitCode;
  if (!ca.WriteCrl(options.Word(2), std::vector<long>(serials.begin(), serials.end())))
    return Session::Fail(out, ca.error(), kExitFailed);
  out.Add("crl", options.Word(2));
  out.Add("revoked", static_cast<int64_t>(serials.size()));
  return kExitOk;
}

// The bank's own engine (its profile) unpacks the request and signs the answer.
int Answer(const Options& options, Output& out) {
  int exitCode = 0, days = 0;
  BankCa ca;
  std::string request;
  if (!NeedArguments(options, 2, 3, "bank answer REQUEST_TRANSFER OUT_TRANSFER WORK_DIR --ca DIR [--profile FILE]", out,
                     exitCode) ||
      !Days(options, days, out, exitCode) || !OpenCa(options, ca, out, exitCode) ||
      !ReadInput(options.Word(2), request, out, exitCode))
    return exitCode;
  Session session;
  if (!session.Open(options, out)) return session.exitCode;
  BankAnswer answer;
  if (!AnswerRequestTransfer(session.engine(), ca, request, options.Word(4), days, answer))
    return Session::Fail(out, answer.error, kExitFailed);
  out.AddReport("request", answer.requestReport);
  out.Add("serial", SerialText(answer.serial));
  return WriteOutput(options, options.Word(3), answer.transfer, out);
}

}  // namespace

std::vector<Command> BankCommands() {
  const OptionSpec ca{"--ca", "DIR", "the authority's directory (bank init made it)"};
  const OptionSpec days{"--days", "N", "days the certificate is valid (1 to 36500, default 365)"};
  return {
      {"bank init",
       {"DIR"},
       {{"--org", "NAME", "the authority's organisation"}, {"--cn", "NAME", "its common name"}, ForceOption()},
       "make the bank's certificate authority in DIR",
       Init},
      {"bank issue",
       {"REQUEST", "CERTIFICATE"},
       {ca, days, ForceOption()},
       "issue a certificate from a PKCS#10 request",
       Issue},
      {"bank crl",
       {"OUT"},
       {ca, {"--revoke", "SERIAL,...", "the serials revoked, as reports print them (10:01)"}, ForceOption()},
       "write a revocation list",
       Crl},
      {"bank answer",
       {"REQUEST_TRANSFER", "OUT_TRANSFER", "WORK_DIR"},
       {ca, days, ForceOption()},
       "answer a remote key replacement request with a certificate transfer (the bank's own --profile)",
       Answer},
  };
}

}  // namespace cryptlib::host
