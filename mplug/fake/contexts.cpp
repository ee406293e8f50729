#include "contexts.h"

#include <atomic>

namespace fake {

const char* ErrorText(int32_t code) {
  switch (code) {
    case kErrUnknownContext:
      return "Unknown or closed context";
    case kErrBadArguments:
      return "Bad arguments";
    case kErrBadParamIndex:
      return "Parameter index out of range";
    case kErrNoOwnCertificate:
      return "Own certificate is not set or cannot be read";
    case kErrCertificateNotFound:
      return "Certificate not found";
    case kErrBadCertificate:
      return "Not a certificate";
    case kErrTooManyRecipients:
      return "Too many recipients";
    case kErrNotEncrypted:
      return "Data is not encrypted or is damaged";
    case kErrNotARecipient:
      return "Data is not encrypted for the current user";
    case kErrBufferTooSmall:
      return "Buffer too small";
    case kErrBadSignature:
      return "Signature does not match the data";
    case kErrNoSignature:
      return "No signature found";
    case kErrCertificateExpired:
      return "Signer certificate is not valid at this time";
    case kErrNoKeyDirectory:
      return "Key directory is not set or not available";
    case kErrNoRequestFile:
      return "Request file is not set";
    case kErrWriteFailed:
      return "Cannot write file";
    case kErrBadRequest:
      return "Not a certificate request";
    case kErrBadCrl:
      return "Not a revocation list";
    case kErrInternal:
      return "Internal error";
    default:
      return nullptr;
  }
}

std::string Context::Param(int32_t index) const {
  std::lock_guard lock(mutex_);
  return index >= 0 && static_cast<size_t>(index) < params_.size() ? params_[static_cast<size_t>(index)] : "";
}

bool Context::SetParam(int32_t index, const std::string& value) {
  std::lock_guard lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= params_.size()) return false;
  params_[static_cast<size_t>(index)] = value;
  return true;
}

int32_t Context::Fail(int32_t code, const std::string& detail) {
  const char* text = ErrorText(code);
  std::string message = text != nullptr ? text : "Error " + std::to_string(code);
  if (!detail.empty()) message += ": " + detail;
  std::lock_guard lock(mutex_);
  lastError_ = message;
  return code;
}

std::string Context::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void Context::LoadCertificate(const Certificate& certificate) {
  std::lock_guard lock(mutex_);
  loaded_.push_back(certificate);
}

std::vector<Certificate> Context::LoadedCertificates() const {
  std::lock_guard lock(mutex_);
  return loaded_;
}

int32_t ContextTable::Open(int32_t paramCount) {
  auto context = std::make_shared<Context>(paramCount);
  std::lock_guard lock(mutex_);
  int32_t handle = ++lastHandle_;
  open_.emplace(handle, std::move(context));
  return handle;
}

bool ContextTable::Close(int32_t handle) {
  std::lock_guard lock(mutex_);
  return open_.erase(handle) != 0;
}

std::shared_ptr<Context> ContextTable::Find(int32_t handle) const {
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : it->second;
}

int32_t ContextTable::OpenCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(open_.size());
}

namespace {
// Trivially destructible, so it stays readable while the other statics go.
std::atomic<bool> finalised{false};

struct ModuleContextTable : ContextTable {
  ~ModuleContextTable() { MarkModuleFinalised(); }
};
}  // namespace

bool ModuleFinalised() {
  return finalised.load(std::memory_order_acquire);
}
void MarkModuleFinalised() {
  finalised.store(true, std::memory_order_release);
}

ContextTable& Contexts() {
  // Lives as long as the module is loaded: a function-local object is
  // destroyed when the module is unloaded.
  static ModuleContextTable table;
  return table;
}

}  // namespace fake
