// Vendor contexts: each holds its parameter values, its last error text and
// the certificates loaded into it. The table hands out handles that are never
// reused, so a closed handle stays unknown.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fake_module.h"
#include "records.h"

namespace fake {

// The module's own result codes, clear of the engine's (-1..-6, -100..-128).
enum ErrorCode : int32_t {
  kErrUnknownContext = 1001,
  kErrBadArguments = 1002,
  kErrBadParamIndex = 1003,
  kErrNoOwnCertificate = 1004,
  kErrCertificateNotFound = 1005,
  kErrBadCertificate = 1006,
  kErrTooManyRecipients = 1007,
  kErrNotEncrypted = 1008,
  kErrNotARecipient = 1009,
  kErrBufferTooSmall = 1010,
  kErrBadSignature = 1011,
  kErrNoSignature = 1012,
  kErrCertificateExpired = 1013,
  kErrNoKeyDirectory = 1014,
  kErrNoRequestFile = 1015,
  kErrWriteFailed = 1016,
  kErrBadRequest = 1017,
  kErrBadCrl = 1018,
  kErrInternal = 1099,
};
// The text of a module code; nullptr for a code the module does not know.
const char* ErrorText(int32_t code);

class Context {
 public:
  explicit Context(int32_t paramCount) : params_(static_cast<size_t>(paramCount)) {}

  // Empty for an index out of range.
  std::string Param(int32_t index) const;
  bool SetParam(int32_t index, const std::string& value);
  // "SN" when the holder's identity is the module's identifier, else the
  // subject line is.
  bool UsesSn() const { return Param(kParamUidField) == "SN"; }

  // Records code's text (and detail, when given) as the last error; returns code.
  int32_t Fail(int32_t code, const std::string& detail = {});
  std::string LastError() const;

  void LoadCertificate(const Certificate& certificate);
  std::vector<Certificate> LoadedCertificates() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> params_;
  std::string lastError_;
  std::vector<Certificate> loaded_;
};

class ContextTable {
 public:
  int32_t Open(int32_t paramCount);
  bool Close(int32_t handle);
  std::shared_ptr<Context> Find(int32_t handle) const;
  int32_t OpenCount() const;

 private:
  mutable std::mutex mutex_;
  int32_t lastHandle_ = 0;
  std::unordered_map<int32_t, std::shared_ptr<Context>> open_;
};

ContextTable& Contexts();

// True once the module's static state is being torn down. At process exit the
// module's objects may be destroyed before the engine that loaded it closes
// its contexts; calls made after that answer kErrInternal without touching
// the destroyed state.
bool ModuleFinalised();
void MarkModuleFinalised();

}  // namespace fake
