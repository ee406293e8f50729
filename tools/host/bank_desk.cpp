#include "bank_desk.h"

namespace cryptlib::host {

bool AnswerRequestTransfer(EngineClient& bank, BankCa& ca, const std::string& requestTransfer,
                           const std::string& workDirectory, int days, BankAnswer& answer) {
  // The report checks the abonent's signature on the transfer and shows
  // the bank what is asked for before anything is issued.
  Status status = bank.PropertiesOfTransfer(requestTransfer, answer.requestReport);
  if (status.ok()) status = bank.SaveTransfer(workDirectory, requestTransfer);
  if (!status.ok()) {
    answer.error = bank.Explain(status);
    return false;
  }
  answer.requestFile = workDirectory + "/Tmp_cert.pem";
  answer.certificateFile = workDirectory + "/issued.pem";
  if (!ca.Issue(answer.requestFile, answer.certificateFile, days, answer.serial)) {
    answer.error = ca.error();
    return false;
  }
  status = bank.TransferOfFile(answer.certificateFile, answer.transfer);
  if (!status.ok()) {
    answer.error = bank.Explain(status);
    return false;
  }
  return true;
}

}  // namespace cryptlib::host
