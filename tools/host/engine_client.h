// One engine as a banking client uses it: created by GetCryptObj, given the
// installation root and the profile's parameters, driven through the
// exports with buffers of the sizes the engine announces, released by
// DoneEngine. Every operation answers a Status naming the export and its
// code; Explain turns a failure into the engine's texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loader/cryptlib_loader.h"

namespace cryptlib::host {

struct Status {
  const char* call = "";
  int32_t code = 0;
  bool ok() const { return code == 0; }
};

class EngineClient {
 public:
  // root may be empty: the engine then looks for its module beside itself.
  EngineClient(const Exports& api, const std::string& root);
  ~EngineClient();
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;

  bool created() const { return engine_ != nullptr; }
  CRYPT_HANDLE handle() const { return engine_; }
  const Exports& api() const { return api_; }

  // --- parameters ---
  int32_t ParamCount() const;
  std::vector<std::string> ParamNames() const;
  std::string ParamValue(int32_t number) const;
  Status SetParam(int32_t number, const std::string& value);

  // --- texts ---
  std::string ErrorText(int32_t code) const;
  std::string LastError() const;
  // "<call> answered <code>: <text>" and the last error message when there is one.
  std::string Explain(const Status& status) const;

  // --- identities ---
  Status CurrentUid(std::string& uid) const;

  // --- data, in the host's buffers ---
  // Whether data of size bytes, with what the engine adds to it, stays
  // within the engine's 32-bit lengths.
  bool FitsEncryption(size_t size, const std::string& recipients) const;
  bool FitsSignature(size_t size) const;
  Status Encrypt(std::string& data, const std::string& recipients);
  Status Decrypt(std::string& data, std::string& recipient);
  Status Sign(const std::string& data, std::string& signature, const std::string& signer);
  Status Verify(const std::string& data, const std::string& signature, std::string& signer, bool ignoreTime);
  Status AddSign(std::string& data, const std::string& signer);
  Status RemoveSign(std::string& data, std::string& signer);

  // --- transfers ---
  Status OwnTransfer(std::string& transfer);
  Status TransferOf(const std::string& uid, std::string& transfer);
  Status TransferOfFile(const std::string& path, std::string& transfer);
  Status UidOfTransfer(const std::string& transfer, std::string& uid);
  Status ImportTransfer(const std::string& transfer);
  Status IncludeCaTransfer(const std::string& transfer);
  Status SaveTransfer(const std::string& directory, const std::string& transfer);
  Status TransferMatch(const std::string& certTransfer, const std::string& requestTransfer, bool& match);

  // --- the certificate store ---
  Status CreateDirs(const std::string& ownCertificate, const std::string& caList);
  Status IncludeCertificate(const std::string& path);
  Status RemoveCertificate(const std::string& uid);
  Status IncludeCrl(const std::string& path);

  // --- reports ---
  Status Report(const std::string& uid, std::string& report);
  Status Properties(const std::string& uid, std::string& report);
  Status PropertiesOfTransfer(const std::string& transfer, std::string& report);
  Status PropertiesOfFile(const std::string& path, std::string& report);

  // --- keys ---
  // GenerateNewSEK (GenerateNewSSK with signatureKey); with a 2.x module
  // the engine answers -100 for a generation that wrote keys and request
  // (they wait for the certificate).
  Status GenerateKeys(bool signatureKey = false);
  int32_t RemoteType();
  void SetRemotePath(const std::string& path);
  // RemoteGenerateStartEx from step 0 (subject of the current certificate)
  // or 10 (subject from the parameters), repeated while it answers 0 and the
  // step cell has not reached 1; the transfer is the exchange buffer's text.
  // keyName names the new key (empty: the engine's choice, the UID with the
  // time of generation). calls counts the calls made.
  Status RemoteStart(bool subjectFromParams, const std::string& keyName, std::string& transfer, int& calls,
                     uint32_t& step);
  // RemoteGenerateFinishEx with step 2: the finish that exchanges the keys.
  Status RemoteFinish(const std::string& certTransfer, uint32_t& step);

 private:
  std::string Buffer(int32_t size) const { return std::string(static_cast<size_t>(size > 0 ? size : 0) + 1, '\0'); }
  std::string UidBuffer() const;
  int32_t TransferSize() const;

  const Exports& api_;
  CRYPT_HANDLE engine_ = nullptr;
};

// The text up to the first zero of a buffer the engine filled.
std::string Terminated(const std::string& buffer);

}  // namespace cryptlib::host
