// The bank's answer to a remote key replacement: the request arrives as a
// public key transfer signed by the abonent's current key; the bank's
// engine checks and unpacks it, the authority issues the certificate, and
// the bank's engine wraps it in a transfer signed by the bank's own key.
#pragma once

#include <string>

#include "bank_ca.h"
#include "engine_client.h"

namespace cryptlib::host {

struct BankAnswer {
  std::string requestFile;      // the unpacked request
  std::string certificateFile;  // the issued certificate
  std::string transfer;         // the certificate transfer for the abonent
  std::string requestReport;    // the request's properties as the engine reads them
  long serial = 0;
  std::string error;  // why there is no answer
};

// workDirectory receives the unpacked request and the certificate.
bool AnswerRequestTransfer(EngineClient& bank, BankCa& ca, const std::string& requestTransfer,
                           const std::string& workDirectory, int days, BankAnswer& answer);

}  // namespace cryptlib::host
