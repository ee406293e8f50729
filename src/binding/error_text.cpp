#include "binding/error_text.h"

#include <algorithm>
#include <cstring>

#include "binding/binding_state.h"
#include "binding/mprodll.h"

namespace cryptlib {

const char* BindingErrorText(int32_t code) {
  switch (code) {
    case kBindingNotInitialized:
      return "Library not initialized";
    case CE_BIND_EXCEPTION:
      return "An exception - ";
    case CE_BIND_BAD_PARAMETERS:
      return "Bad parameters passed";
    case CE_BIND_NO_SIGN_CONTEXT:
      return "Can't get sign context";
    case CE_BIND_SIGNATURE_NOT_FOUND:
      return "Signature not found";
    case kBindingNoContext:
      return "Unable to load private key for operation";
    case kBindingNotFinalized:
      return "Function not finalize";
    default:
      return nullptr;
  }
}

void TMProDLL::ErrorText(char* buffer, int32_t size, int32_t code) {
  if (size < 1 || code == 0 || buffer == nullptr) return;
  const size_t capacity = static_cast<size_t>(size);
  std::memset(buffer, 0, capacity);
  if (const char* text = BindingErrorText(code)) {
    // A text that does not fit fills the whole buffer, without terminator.
    std::memcpy(buffer, text, std::min(std::strlen(text), capacity));
    return;
  }
  CallScope call(*this);
  if (Binding().IsLoaded(libVariant_) && functions_.GetCryptoErrorString != nullptr)
    functions_.GetCryptoErrorString(code, buffer);
}

void VendorErrorLog::Record(std::string text) {
  const std::lock_guard<std::mutex> hold(mutex_);
  const std::thread::id self = std::this_thread::get_id();
  if (texts_.size() >= kMaxThreads && texts_.find(self) == texts_.end()) texts_.clear();
  texts_[self] = std::move(text);
}

bool VendorErrorLog::Last(std::string& text) const {
  const std::lock_guard<std::mutex> hold(mutex_);
  const auto found = texts_.find(std::this_thread::get_id());
  if (found == texts_.end()) return false;
  text = found->second;
  return true;
}

}  // namespace cryptlib
