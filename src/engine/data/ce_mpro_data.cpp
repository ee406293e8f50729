// TMPro1CryptoEngine: encryption for abonents and decryption, in place in
// the host's buffer.
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "support/strutil.h"

namespace cryptlib {
int32_t TMPro1CryptoEngine::EncodeData(void* data, int32_t* length, const char* uidList) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (data == nullptr || length == nullptr || *length < 1) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.EncodeData: ", [&]() -> int32_t {
    const std::string recipients =
        (uidList != nullptr && *uidList != '\0') ? std::string(uidList) : TrimmedParam(param::kDefaultRecipients);
    // Each recipient in the module's form, in the host's order; an empty
    // text asks the module for its default.
    std::string joined;
    if (!recipients.empty()) {
      std::vector<std::string> entries;
      if (SplitList(recipients.c_str(), entries) == 0) return CE_NO_RECIPIENTS;
      for (size_t i = 0; i < entries.size(); ++i) {
        std::string subject;
        if (const int32_t result = ReadSubjectFromCert(entries[i], subject)) return result;
        if (i > 0) joined += ';';
        joined += subject;
      }
    }
    return binding->EncodeData(*CurrentSnapshot(*binding), data, length, joined.c_str());
  });
}

int32_t TMPro1CryptoEngine::DecodeData(void* data, int32_t* length, char* uid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (length == nullptr || *length < 1 || data == nullptr || uid == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.DecodeData: ", [&]() -> int32_t {
    VendorUID recipient(*binding);
    const int32_t result = binding->DecodeData(*CurrentSnapshot(*binding), data, length, recipient.data());
    // The host learns for whom the data was decrypted, in the UID form
    // VerifyData reports, within the UID buffer size every caller gives.
    if (result == CE_OK) CopyHostUIDFromVendor(recipient.data(), uid);
    return result;
  });
}

}  // namespace cryptlib
