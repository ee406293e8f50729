// TMPro1CryptoEngine: the texts of result codes and the module's last error.
//
// A code has the engine's own text, the binding's (-1 to -6), or the
// module's (every code outside the engine's ranges). Texts are bounded by the
// module's maximum error-text length; an engine text that does not fit gives
// an empty buffer, never a cut one.
//
// While no module is bound that maximum is 0, yet the codes that say why
// (-127, -128, -100) must stay readable: the engine's texts are then bounded
// by 255, the length every engine accepts, and only the text and its
// terminator are written, since the host could not learn a larger size.
#include <algorithm>
#include <cstring>
#include <string>

#include "cryptlib.h"
#include "engine/ce_mpro.h"

namespace cryptlib {
namespace {

constexpr int32_t kUnboundTextLimit = 255;

const char* FixedEngineText(int32_t code) {
  switch (code) {
    case CE_BAD_ARGUMENT:
      return "Null pointer or incorrect data size (buffer) passed to the function!";
    case CE_STRING_LENGTH:
      return "String length check error";
    case CE_BAD_SETTINGS:
      return "Bad settings for crypto engine";
    case CE_KEY_FILE_IO:
      return "I/O error during key, CRL or certificate file(s) operation.";
    case CE_NO_RECIPIENTS:
      return "Encoding abonent(s) isn't set or set incorrect.";
    case CE_REMOTE_PATH:
      return "Remote genarate path isn't set or set incorrect.";
    case CE_BAD_UID:
      return "UID error. Bad UID setting or incorrect UID passed to the function.";
    case CE_PUBLIC_KEY_NOT_FOUND:
      return "Public key file not found.";
    case CE_TRANSFER_EXTRACT:
      return "Can't extract certificate or certificate request file from transfer buffer or i/o error.";
    case CE_CERT_NOT_FOUND:
      return "Can't find self certificate file or abonent certificate file in certificate dir by its UID. Abonent "
             "unknown or error in name of certificate file.";
    case CE_NEW_KEY_NOT_FOUND:
      return "Can't find new key or certificate (cert request) file in specific key generate dir or i/o error.";
    case CE_REMOTE_DIR_IO:
      return "I/O error in specific remote generate dir.";
    case CE_EXCHANGE_IO:
      return "I/O error during exchange key detected.";
    case CE_LOW_MEMORY:
      return "Low memory.";
    case CE_KEY_UTILITY:
      return "Key gen utility isn't finished correctly, or another key container detected.";
    case CE_CERT_KEY_MISMATCH:
      return "Certificate in transfer and new private keys isn't match.";
    case CE_REMOVE_SELF:
      return "Can not remove self certificate!";
    case CE_TEMP_SAVE:
      return "Can not save transfer content to temp directory!";
    case CE_TEMP_DIR:
      return "Can not create template directory in Windows template path!";
    case CE_CRL_DIR:
      return "Can not found or create CRL dir!";
    case CE_CRL_NOT_FOUND:
      return "Specified CRL file not found!";
    case CE_CRL_BAD:
      return "Incorrect CRL file!";
    case CE_PARAM_INDEX:
      return "Parameters index out of bounds!";
    case CE_LOAD_FAILED:
      return "Unable to load mplug*.dll";
    case CE_BIND_FAILED:
      return "Unable to retrive all necessary functionns from mplug*.dll";
    default:
      return nullptr;
  }
}

}  // namespace

bool TMPro1CryptoEngine::EngineErrorText(int32_t code, std::string& text) {
  if (code == CE_EXCEPTION) {
    text = "An exception in the function - " + LastError().GetText();
    return true;
  }
  if (code == CE_NOT_INITIALIZED) {
    text = "Library not initialized " + LastError().GetText();
    return true;
  }
  const char* fixed = FixedEngineText(code);
  if (fixed == nullptr) return false;
  text = fixed;
  return true;
}

void TMPro1CryptoEngine::GetCryptoErrorString(int32_t code, char* buffer) {
  if (buffer == nullptr) return;
  try {
    TMProDLL* binding = nullptr;
    const bool bound = AcquireBinding(binding) == CE_OK;
    std::string text;
    const bool ownText = EngineErrorText(code, text);
    if (!bound) {
      // No module: the engine's texts only, see the head of this file.
      if (!ownText || text.size() >= static_cast<size_t>(kUnboundTextLimit)) text.clear();
      std::memcpy(buffer, text.c_str(), text.size() + 1);
      return;
    }
    const int32_t max = binding->Functions().GetMaxErrorStringLength();
    if (max <= 0) return;
    std::memset(buffer, 0, static_cast<size_t>(max));
    if (!ownText) {
      binding->ErrorText(buffer, max, code);
      return;
    }
    if (text.size() < static_cast<size_t>(max)) std::memcpy(buffer, text.data(), text.size());
  } catch (...) {
    // A text is never worth a failure: the buffer stays as far as written.
  }
}

void TMPro1CryptoEngine::GetLastErrorMessage(char* buffer) {
  TMProDLL* binding = nullptr;
  if (AcquireBinding(binding) != CE_OK || buffer == nullptr) return;
  std::string text;
  if (!vendorErrors_.Last(text)) {
    // No vendor call of this engine failed in this thread: the context of
    // the current parameters has the module's word.
    binding->GetLastErrorMessage(BuildSnapshot(*binding), buffer);
    return;
  }
  // The text read from the context the call failed on, within the module's
  // own bound for its texts.
  const int32_t max = binding->Functions().GetMaxErrorStringLength();
  if (max <= 0) return;
  const size_t count = std::min(text.size(), static_cast<size_t>(max) - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
}

}  // namespace cryptlib
