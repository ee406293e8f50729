// EngineClient: creation, parameters, texts and the data operations.
#include "engine_client.h"

#include <algorithm>

#include "passphrase_text.h"

namespace cryptlib::host {
namespace {

// The engine writes the last error message with the module's bound; the
// tool gives room for any module's text.
constexpr size_t kLastErrorRoom = 8192;

}  // namespace

std::string Terminated(const std::string& buffer) {
  return std::string(buffer.c_str());
}

EngineClient::EngineClient(const Exports& api, const std::string& root) : api_(api) {
  engine_ = api_.GetCryptObj();
  if (engine_ != nullptr && !root.empty()) api_.SetRootPath(engine_, root.c_str());
}

EngineClient::~EngineClient() {
  if (engine_ != nullptr) api_.DoneEngine(engine_);
}

int32_t EngineClient::ParamCount() const {
  return api_.GetCryptoParamNumber(engine_);
}

std::vector<std::string> EngineClient::ParamNames() const {
  std::vector<std::string> names;
  const int32_t room = std::max(api_.GetMaxCryptoParamNameLength(engine_), 255);
  for (int32_t number = 1; number <= ParamCount(); ++number) {
    std::string name = Buffer(room);
    api_.GetCryptoParamName(engine_, number, name.data());
    names.push_back(Terminated(name));
  }
  return names;
}

std::string EngineClient::ParamValue(int32_t number) const {
  std::string value = Buffer(api_.GetMaxCryptoParamValueLength(engine_));
  api_.GetCryptoParamValue(engine_, number, value.data());
  return Terminated(value);
}

Status EngineClient::SetParam(int32_t number, const std::string& value) {
  return {"SetCryptoParamValue", api_.SetCryptoParamValue(engine_, number, value.c_str())};
}

std::string EngineClient::ErrorText(int32_t code) const {
  // Without a module the bound reads 0; the engine's own texts fit in 255.
  const int32_t bound = api_.GetMaxErrorStringLength(engine_);
  std::string text = Buffer(bound > 0 ? bound : 255);
  api_.GetCryptoErrorString(engine_, code, text.data());
  return Terminated(text);
}

std::string EngineClient::LastError() const {
  std::string text(kLastErrorRoom, '\0');
  api_.GetLastErrorMessage(engine_, text.data());
  return Terminated(text);
}

std::string EngineClient::Explain(const Status& status) const {
  const std::string meaning = IsPassphraseFailure(status.code)
                                  ? PassphraseFailureText(status.code, ParamValue(kPinSourceParameter))
                                  : ErrorText(status.code);
  std::string text = std::string(status.call) + " answered " + std::to_string(status.code) + ": " + meaning;
  const std::string last = LastError();
  if (!last.empty()) text += " (last error: " + last + ")";
  return text;
}

std::string EngineClient::UidBuffer() const {
  return Buffer(std::max(api_.GetMaxUIDLength(engine_), 40));
}

Status EngineClient::CurrentUid(std::string& uid) const {
  std::string buffer = UidBuffer();
  const int32_t code = api_.GetCurrentUserUID(engine_, buffer.data());
  uid = Terminated(buffer);
  return {"GetCurrentUserUID", code};
}

bool EngineClient::FitsEncryption(size_t size, const std::string& recipients) const {
  const int32_t addition =
      std::max({api_.GetMaxAdditionEx(engine_, recipients.c_str()), api_.GetMaxEncodeAddition(engine_), 0});
  return size <= static_cast<size_t>(INT32_MAX - addition);
}

bool EngineClient::FitsSignature(size_t size) const {
  return size <= static_cast<size_t>(INT32_MAX - std::max(api_.GetMaxSignAddition(engine_), 0));
}

Status EngineClient::Encrypt(std::string& data, const std::string& recipients) {
  int32_t addition = api_.GetMaxAdditionEx(engine_, recipients.c_str());
  if (addition <= 0) addition = api_.GetMaxEncodeAddition(engine_);
  auto length = static_cast<int32_t>(data.size());
  std::string buffer = data;
  buffer.resize(data.size() + static_cast<size_t>(std::max(addition, 0)));
  const int32_t code = api_.EncodeData(engine_, buffer.data(), &length, recipients.c_str());
  if (code == 0) data.assign(buffer.data(), static_cast<size_t>(length));
  return {"EncodeData", code};
}

Status EngineClient::Decrypt(std::string& data, std::string& recipient) {
  auto length = static_cast<int32_t>(data.size());
  std::string uid = UidBuffer();
  std::string buffer = data;
  const int32_t code = api_.DecodeData(engine_, buffer.data(), &length, uid.data());
  if (code == 0) {
    data.assign(buffer.data(), static_cast<size_t>(length));
    recipient = Terminated(uid);
  }
  return {"DecodeData", code};
}

Status EngineClient::Sign(const std::string& data, std::string& signature, const std::string& signer) {
  std::string buffer = Buffer(api_.GetMaxSignatureLength(engine_));
  auto length = static_cast<int32_t>(buffer.size());
  const int32_t code = api_.SignData(engine_, data.data(), static_cast<int32_t>(data.size()), buffer.data(), &length,
                                     signer.empty() ? nullptr : signer.c_str());
  if (code == 0) signature.assign(buffer.data(), static_cast<size_t>(length));
  return {"SignData", code};
}

Status EngineClient::Verify(const std::string& data, const std::string& signature, std::string& signer,
                            bool ignoreTime) {
  std::string uid = UidBuffer();
  const auto verify = ignoreTime ? api_.VerifySignWOCheckValidity : api_.VerifyData;
  const int32_t code = verify(engine_, data.data(), static_cast<int32_t>(data.size()), signature.data(),
                              static_cast<int32_t>(signature.size()), uid.data());
  if (code == 0) signer = Terminated(uid);
  return {ignoreTime ? "VerifySignWOCheckValidity" : "VerifyData", code};
}

Status EngineClient::AddSign(std::string& data, const std::string& signer) {
  auto length = static_cast<int32_t>(data.size());
  std::string buffer = data;
  buffer.resize(data.size() + static_cast<size_t>(std::max(api_.GetMaxSignAddition(engine_), 0)));
  const int32_t code = api_.AddSign(engine_, buffer.data(), &length, signer.empty() ? nullptr : signer.c_str());
  if (code == 0) data.assign(buffer.data(), static_cast<size_t>(length));
  return {"AddSign", code};
}

Status EngineClient::RemoveSign(std::string& data, std::string& signer) {
  auto length = static_cast<int32_t>(data.size());
  std::string uid = UidBuffer();
  std::string buffer = data;
  const int32_t code = api_.RemoveSign(engine_, buffer.data(), &length, uid.data());
  if (code == 0) {
    data.assign(buffer.data(), static_cast<size_t>(length));
    signer = Terminated(uid);
  }
  return {"RemoveSign", code};
}

}  // namespace cryptlib::host
