// EngineClient: transfers, the certificate store, reports and keys.
#include "engine_client.h"

namespace cryptlib::host {

int32_t EngineClient::TransferSize() const {
  return api_.GetMaxPublicKeyTransferSize(engine_);
}

Status EngineClient::OwnTransfer(std::string& transfer) {
  std::string buffer = Buffer(TransferSize());
  const int32_t code = api_.ExcludeSelfPublicKeyTransfer(engine_, buffer.data());
  transfer = Terminated(buffer);
  return {"ExcludeSelfPublicKeyTransfer", code};
}

Status EngineClient::TransferOf(const std::string& uid, std::string& transfer) {
  std::string buffer = Buffer(TransferSize());
  const int32_t code = api_.GetPublicKeyTransfer(engine_, uid.c_str(), buffer.data());
  transfer = Terminated(buffer);
  return {"GetPublicKeyTransfer", code};
}

Status EngineClient::TransferOfFile(const std::string& path, std::string& transfer) {
  std::string buffer = Buffer(TransferSize());
  const int32_t code = api_.GetPublicKeyTransferByFile(engine_, buffer.data(), path.c_str());
  transfer = Terminated(buffer);
  return {"GetPublicKeyTransferByFile", code};
}

Status EngineClient::UidOfTransfer(const std::string& transfer, std::string& uid) {
  std::string buffer = UidBuffer();
  const int32_t code = api_.GetUIDByPublicKeyTransfer(engine_, transfer.c_str(), buffer.data());
  uid = Terminated(buffer);
  return {"GetUIDByPublicKeyTransfer", code};
}

Status EngineClient::ImportTransfer(const std::string& transfer) {
  return {"IncludePublicKeyTransfer", api_.IncludePublicKeyTransfer(engine_, transfer.c_str())};
}

Status EngineClient::IncludeCaTransfer(const std::string& transfer) {
  return {"IncludeCACertificateFromTransfer", api_.IncludeCACertificateFromTransfer(engine_, transfer.c_str())};
}

Status EngineClient::SaveTransfer(const std::string& directory, const std::string& transfer) {
  return {"SavePublicKeyFromTransfer", api_.SavePublicKeyFromTransfer(engine_, directory.c_str(), transfer.c_str())};
}

Status EngineClient::TransferMatch(const std::string& certTransfer, const std::string& requestTransfer, bool& match) {
  int32_t cell = 0;
  const int32_t code = api_.CertAndRequestTransferMatch(engine_, certTransfer.c_str(), requestTransfer.c_str(), &cell);
  match = cell != 0;
  return {"CertAndRequestTransferMatch", code};
}

Status EngineClient::CreateDirs(const std::string& ownCertificate, const std::string& caList) {
  return {"CreateDirStructure", api_.CreateDirStructure(engine_, ownCertificate.c_str(), caList.c_str())};
}

Status EngineClient::IncludeCertificate(const std::string& path) {
  return {"IncludePublicKey", api_.IncludePublicKey(engine_, path.c_str())};
}

Status EngineClient::RemoveCertificate(const std::string& uid) {
  return {"RemoveCertificate", api_.RemoveCertificate(engine_, uid.c_str())};
}

Status EngineClient::IncludeCrl(const std::string& path) {
  return {"IncludeCRL", api_.IncludeCRL(engine_, path.c_str())};
}

Status EngineClient::Report(const std::string& uid, std::string& report) {
  std::string buffer = Buffer(api_.GetMaxReportSize(engine_));
  const int32_t code = api_.GetReport(engine_, uid.empty() ? nullptr : uid.c_str(), buffer.data());
  report = Terminated(buffer);
  return {"GetReport", code};
}

Status EngineClient::Properties(const std::string& uid, std::string& report) {
  std::string buffer = Buffer(api_.GetMaxPublicKeyPropertiesLength(engine_));
  const int32_t code = api_.GetPublicKeyProperties(engine_, uid.empty() ? nullptr : uid.c_str(), buffer.data());
  report = Terminated(buffer);
  return {"GetPublicKeyProperties", code};
}

Status EngineClient::PropertiesOfTransfer(const std::string& transfer, std::string& report) {
  std::string buffer = Buffer(api_.GetMaxPublicKeyPropertiesLength(engine_));
  const int32_t code = api_.GetPublicKeyPropertiesByTransfer(engine_, transfer.c_str(), buffer.data());
  report = Terminated(buffer);
  return {"GetPublicKeyPropertiesByTransfer", code};
}

Status EngineClient::PropertiesOfFile(const std::string& path, std::string& report) {
  std::string buffer = Buffer(api_.GetMaxPublicKeyPropertiesLength(engine_));
  const int32_t code = api_.GetPublicKeyPropertiesByFile(engine_, path.c_str(), buffer.data());
  report = Terminated(buffer);
  return {"GetPublicKeyPropertiesByFile", code};
}

Status EngineClient::GenerateKeys(bool signatureKey) {
  if (signatureKey) return {"GenerateNewSSK", api_.GenerateNewSSK(engine_)};
  return {"GenerateNewSEK", api_.GenerateNewSEK(engine_)};
}

int32_t EngineClient::RemoteType() {
  return api_.GetRemoteGenType(engine_);
}

void EngineClient::SetRemotePath(const std::string& path) {
  api_.SetRemoteGeneratePath(engine_, path.c_str());
}

Status EngineClient::RemoteStart(bool subjectFromParams, const std::string& keyName, std::string& transfer, int& calls,
                                 uint32_t& step) {
  std::string exchange = Buffer(TransferSize());
  step = subjectFromParams ? 10 : 0;
  calls = 0;
  int32_t code = 0;
  // Each call does one step of the procedure and moves the cell on; a
  // procedure that never reaches 1 is cut off rather than looped forever.
  constexpr int kMaxCalls = 64;
  do {
    code = api_.RemoteGenerateStartEx(engine_, keyName.c_str(), exchange.data(), &step);
    ++calls;
  } while (code == 0 && step != 1 && calls < kMaxCalls);
  transfer = Terminated(exchange);
  return {"RemoteGenerateStartEx", code};
}

Status EngineClient::RemoteFinish(const std::string& certTransfer, uint32_t& step) {
  step = 2;
  return {"RemoteGenerateFinishEx", api_.RemoteGenerateFinishEx(engine_, certTransfer.c_str(), &step)};
}

}  // namespace cryptlib::host
