// TMPro1CryptoEngine: the crypto parameters, their descriptions for the
// host's configuration dialog, and the size queries answered by the module.
#include <cstring>
#include <optional>

#include "cryptlib.h"
#include "engine/ce_mpro.h"

namespace cryptlib {
namespace {

// Kinds of GetParamInfo: the form of the description tells the host how to
// edit the value.
constexpr int32_t kKindRange = 1;
constexpr int32_t kKindLength = 2;
constexpr int32_t kKindListLength = 4;
constexpr int32_t kKindChoice = 7;
constexpr int32_t kKindFile = 10;
constexpr int32_t kKindDirectory = 11;

constexpr int32_t kDescribedParams = 26;

struct ParamDescription {
  int32_t kind;
  const char* text;
};

// Certificate masks: the 2.x module also reads DER certificates (".cer") and
// keeps revocation lists as ".crl".
const char* CertificateMask(int32_t variant) {
  return variant == 2 ? "*.pem;*.cer" : "*.pem";
}
const char* CRLMask(int32_t variant) {
  return variant == 2 ? "*.pem;*.crl" : "*.pem";
}

std::optional<ParamDescription> Describe(int32_t index, int32_t variant) {
  switch (index) {
    case 1:
      return ParamDescription{kKindFile, CertificateMask(variant)};
    case 2:
      return ParamDescription{kKindDirectory, CertificateMask(variant)};
    case 3:
      return ParamDescription{kKindDirectory, "*.*"};
    case 4:
      return ParamDescription{kKindChoice, "RUS-GAMMAR\r\nDES-EDE3-CBC"};
    case 5:
      return ParamDescription{kKindChoice, "R3410-R3411\r\nSHA1"};
    case 6:
      return ParamDescription{kKindRange, "0..2048"};
    case 7:
      return ParamDescription{kKindFile, "*.*"};
    case 8:
      return ParamDescription{kKindLength, "32"};
    case 9:
    case 10:
      return ParamDescription{kKindFile, "*.pem"};
    case 11:
      return ParamDescription{kKindLength, "2"};
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
      return ParamDescription{kKindLength, "255"};
    case 18:
      return ParamDescription{kKindFile, "*.*"};
    case 19:
      return ParamDescription{kKindListLength, "255"};
    case 20:
      return ParamDescription{kKindChoice, "CN\r\nSN"};
    case 21:
      return ParamDescription{kKindChoice, "0\r\n1"};
    case 22:
      return ParamDescription{kKindRange, "0..2147483640"};
    case 23:
      return ParamDescription{kKindDirectory, "*.*"};
    // The first generation keeps its CA directory here, the later ones the
    // subject's title T.
    case 24:
      return variant == 0 ? ParamDescription{kKindDirectory, "*.pem"} : ParamDescription{kKindLength, "255"};
    case 25:
      return ParamDescription{kKindDirectory, CertificateMask(variant)};
    case 26:
      return ParamDescription{kKindDirectory, CRLMask(variant)};
    default:
      return std::nullopt;
  }
}

// Parameters 20 and above exist only when the module counts that many.
int32_t MinimumCount(int32_t index) {
  return index >= 20 ? index : 0;
}

// Values that name files or directories under the installation root.
bool IsRootExpanded(int32_t index, int32_t variant) {
  switch (index) {
    case 1:
    case 2:
    case 3:
    case 7:
    case 8:
    case 9:
    case 10:
    case 18:
    case 23:
    case 25:
    case 26:
      return true;
    case 24:
      return variant == 0;
    default:
      return false;
  }
}

}  // namespace

int32_t TMPro1CryptoEngine::GetMaxEncodeAddition() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxEncodeAddition() : 0;
}

int32_t TMPro1CryptoEngine::GetMaxSignatureLength() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxSignatureLength() : 0;
}

int32_t TMPro1CryptoEngine::GetMaxUIDLength() {
  return kHostUIDSize;
}

int32_t TMPro1CryptoEngine::GetMaxCryptoParamNameLength() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxCryptoParamNameLength() : 0;
}

int32_t TMPro1CryptoEngine::GetMaxCryptoParamValueLength() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxCryptoParamValueLength() : 0;
}

int32_t TMPro1CryptoEngine::GetMaxErrorStringLength() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxErrorStringLength() : 0;
}

int32_t TMPro1CryptoEngine::GetMaxPasswordLength() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetMaxPasswordLength() : 0;
}

int32_t TMPro1CryptoEngine::GetCryptoParamNumber() {
  TMProDLL* binding = nullptr;
  return AcquireBinding(binding) == CE_OK ? binding->Functions().GetCryptoParamNumber() : 0;
}

void TMPro1CryptoEngine::GetCryptoParamName(int32_t index, char* buffer) {
  TMProDLL* binding = nullptr;
  if (AcquireBinding(binding) != CE_OK || index < 1 || buffer == nullptr) return;
  // The module writes the name; a refusal leaves the buffer as the module
  // left it.
  binding->GetParamName(index - 1, buffer);
}

int32_t TMPro1CryptoEngine::SetCryptoParamValue(int32_t index, const char* value) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (index <= 0 || value == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.SetCryptoParamValue: ", [&]() -> int32_t {
    const std::string stored = IsRootExpanded(index, LibVariant()) ? ExpandRootPath(value) : std::string(value);
    return TCryptoEngine::SetCryptoParamValue(index, stored.c_str());
  });
}

int32_t TMPro1CryptoEngine::GetParamInfo(int32_t index, int32_t* kind, char* buffer, int32_t* size) {
  const std::optional<ParamDescription> description = Describe(index, LibVariant());
  if (!description || index > kDescribedParams || GetCryptoParamNumber() < MinimumCount(index)) return CE_PARAM_INDEX;
  // The kind and size cells are the host's answers: without them nothing
  // can be reported.
  if (kind == nullptr || size == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.GetParamInfo: ", [&]() -> int32_t {
    *kind = description->kind;
    const size_t need = std::strlen(description->text) + 1;
    if (need == 1) {
      *size = 0;
      return CE_OK;
    }
    const int32_t available = *size;
    *size = static_cast<int32_t>(need);
    if (buffer == nullptr) return CE_OK;
    if (need > static_cast<size_t>(available < 0 ? 0 : available)) return CE_BAD_ARGUMENT;
    std::memcpy(buffer, description->text, need);
    return CE_OK;
  });
}

}  // namespace cryptlib
