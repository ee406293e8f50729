// TMPro1CryptoEngine: detached signatures (SignData, VerifyData) and
// signatures attached to the data in the host's buffer (AddSign, RemoveSign).
#include <climits>

#include "cryptlib.h"
#include "engine/ce_mpro.h"

namespace cryptlib {
namespace {

// Room the module's envelope of an attached signature takes beside the
// signature itself.
constexpr int32_t kSignEnvelopeRoom = 332;

int32_t SaturatingSum(int32_t a, int32_t b) {
  const int64_t sum = static_cast<int64_t>(a) + b;
  return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

}  // namespace

int32_t TMPro1CryptoEngine::SignData(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                                     const char* signerUid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  // The module reads the signature capacity from the length cell: without
  // one it would write through a null pointer, and it takes a capacity of 0
  // or below as "as much as the signature needs", past the host's buffer.
  if (length < 1 || data == nullptr || signature == nullptr || signatureLength == nullptr || *signatureLength < 1)
    return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.SignData: ", [&]() -> int32_t {
    std::string signer;
    if (const int32_t result = SignerForVendor(signerUid, signer)) return result;
    return binding->SignData(*CurrentSnapshot(*binding), data, length, signature, signatureLength, signer.c_str());
  });
}

int32_t TMPro1CryptoEngine::VerifyData(const void* data, int32_t length, const void* signature, int32_t signatureLength,
                                       char* signerUid) {
  return VerifyDetached(false, "TMProCryptoEngine.VerifyData: ", data, length, signature, signatureLength, signerUid);
}

int32_t TMPro1CryptoEngine::VerifyDetached(bool ignoreTime, const char* prefix, const void* data, int32_t length,
                                           const void* signature, int32_t signatureLength, char* signerUid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (length < 1 || data == nullptr || signature == nullptr || signatureLength < 1 || signerUid == nullptr)
    return CE_BAD_ARGUMENT;
  return Guarded(prefix, [&]() -> int32_t {
    VendorUID signer(*binding);
    // The module may write into the length; the host's value stays as given.
    int32_t dataLength = length;
    const std::shared_ptr<const KeyedSnapshot> snapshot = CurrentSnapshot(*binding);
    const int32_t result =
        ignoreTime
            ? binding->VerifyDataIgnoreTime(*snapshot, data, &dataLength, signature, signatureLength, signer.data())
            : binding->VerifyData(*snapshot, data, &dataLength, signature, signatureLength, signer.data());
    if (result != CE_OK) return result;
    CopyHostUIDFromVendor(signer.data(), signerUid);
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::AddSign(void* buffer, int32_t* length, const char* signerUid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (buffer == nullptr || length == nullptr || *length < 1) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.AddSign: ", [&]() -> int32_t {
    std::string signer;
    if (const int32_t result = SignerForVendor(signerUid, signer)) return result;
    // In: the room the host left for data and signature; out: their length.
    int32_t capacity = SaturatingSum(binding->Functions().GetMaxSignatureLength(), *length);
    const int32_t result =
        binding->SignData(*CurrentSnapshot(*binding), buffer, *length, nullptr, &capacity, signer.c_str());
    // Also on a refusal: the host ignores buffer and length after one.
    *length = capacity;
    return result;
  });
}

int32_t TMPro1CryptoEngine::RemoveSign(void* buffer, int32_t* length, char* signerUid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (length == nullptr || *length < 1 || buffer == nullptr || signerUid == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.RemoveSignature: ", [&]() -> int32_t {
    VendorUID signer(*binding);
    const int32_t signedLength = *length;
    // The module shortens the host's length cell to the data alone.
    const int32_t result =
        binding->VerifyData(*CurrentSnapshot(*binding), buffer, length, nullptr, signedLength, signer.data());
    if (result != CE_OK) return result;
    CopyHostUIDFromVendor(signer.data(), signerUid);
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::GetMaxSignAddition() {
  // Never a negative size, however large the module's signature.
  return SaturatingSum(GetMaxSignatureLength(), kSignEnvelopeRoom);
}

}  // namespace cryptlib
