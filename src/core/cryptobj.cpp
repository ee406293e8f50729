#include "core/cryptobj.h"

#include <climits>
#include <cstring>

#include "cryptlib.h"
#include "support/exceptions.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {

namespace {

constexpr char kRootPlaceholder[] = "%QAMROOT%";
constexpr size_t kRootPlaceholderLength = sizeof(kRootPlaceholder) - 1;

[[noreturn]] void RaiseAbstract() {
  throw EAbstractError("Abstract error");
}

// Products of sizes are computed in 64 bits and held at the largest 32-bit
// value: a long recipient list must never turn a size into a negative one.
int32_t SaturatingProduct(int32_t a, int32_t b) {
  int64_t product = static_cast<int64_t>(a) * b;
  if (product > INT32_MAX) return INT32_MAX;
  if (product < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(product);
}

// The number of entries SplitList cuts a ";" list into: its separators plus
// one ("A;" is "A" and ""), held at the largest 32-bit value.
// Counted in place: a list of millions of entries must not cost memory in
// proportion, which a 32-bit host does not have.
// One pass over the characters: a strchr per entry rescans the rest of the
// list under some C libraries' checkers, which is quadratic in its length.
int32_t ListEntryCount(const char* list) {
  int64_t count = 1;
  for (const char* at = list; *at != '\0' && count < INT32_MAX; ++at) {
    if (*at == ';') ++count;
  }
  return static_cast<int32_t>(count);
}

// Copies text with its terminator into buffer when it is shorter than
// capacity; longer text leaves the buffer as it is.
void CopyBounded(const std::string& text, char* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity <= 0) return;
  size_t count = std::min(text.size(), static_cast<size_t>(capacity) - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
}

}  // namespace

std::string WithTrailingBackslash(const std::string& path) {
  if (path.empty() || path.back() == '\\') return path;
  return path + "\\";
}

TCryptoEngine::TCryptoEngine()
    : lastError_(std::make_unique<TSyncExceptStr>()),
      paramNames_(std::make_unique<std::vector<std::string>>()),
      paramValues_(std::make_unique<std::vector<std::string>>()),
      paramsChanged_(true) {}

TCryptoEngine::~TCryptoEngine() {
  paramValues_.reset();
  paramNames_.reset();
  lastError_.reset();
}

int32_t TCryptoEngine::Reserved0() {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved1(void*, void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved2(void*, void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved3(void* a, void* b, void* c) {
  return Reserved2(a, b, c);
}
int32_t TCryptoEngine::Reserved4(void*, void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved5(void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved6(void*, void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved7(void*, void*, void*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::Reserved8(void*, void*, void*, void*) {
  return CE_UNSUPPORTED;
}

void TCryptoEngine::SetPasswordRequestFunc(void* func) {
  passwordRequestFunc_ = func;
}

void TCryptoEngine::SetRemoteGeneratePath(const std::string& path) {
  remoteGeneratePath_ = WithTrailingBackslash(ExpandRootPath(path));
}

int32_t TCryptoEngine::GetMaxEncodeAddition() {
  return 255;
}
int32_t TCryptoEngine::GetMaxSignatureLength() {
  return 255;
}
int32_t TCryptoEngine::GetMaxUIDLength() {
  return 255;
}
int32_t TCryptoEngine::GetMaxCryptoParamNameLength() {
  return 255;
}
int32_t TCryptoEngine::GetMaxCryptoParamValueLength() {
  return 1024;
}
int32_t TCryptoEngine::GetMaxErrorStringLength() {
  return 255;
}
int32_t TCryptoEngine::GetMaxPasswordLength() {
  return 255;
}

int32_t TCryptoEngine::GetCryptoParamNumber() {
  return static_cast<int32_t>(ParamNames().size());
}

void TCryptoEngine::GetCryptoParamName(int32_t index, char* buffer) {
  if (buffer == nullptr || index < 1 || index > static_cast<int32_t>(ParamNames().size())) return;
  CopyBounded(ParamNames()[index - 1], buffer, GetMaxCryptoParamNameLength());
}

void TCryptoEngine::GetCryptoParamValue(int32_t index, char* buffer) {
  if (buffer == nullptr) return;
  buffer[0] = '\0';
  if (index < 1 || index > static_cast<int32_t>(ParamValues().size())) return;
  CopyBounded(ParamValues()[index - 1], buffer, GetMaxCryptoParamValueLength());
}

int32_t TCryptoEngine::SetCryptoParamValue(int32_t index, const char* value) {
  if (value == nullptr) return CE_BAD_ARGUMENT;
  if (index < 1 || index > static_cast<int32_t>(ParamValues().size())) return CE_UNSUPPORTED;
  ParamValues()[index - 1] = value;
  paramsChanged_ = true;
  paramsVersion_.fetch_add(1, std::memory_order_release);
  return CE_OK;
}

int32_t TCryptoEngine::GetEncodeUIDBySignUID(const char*, char*) {
  RaiseAbstract();
}
int32_t TCryptoEngine::GetCurrentUserUID(char*) {
  RaiseAbstract();
}

void TCryptoEngine::GetCryptoErrorString(int32_t code, char* buffer) {
  int32_t max = GetMaxErrorStringLength();
  if (buffer == nullptr || max <= 0) return;
  std::memset(buffer, 0, static_cast<size_t>(max));
  std::string text = "CRYPTO ENGINE ERROR : " + std::to_string(code);
  if (text.size() < static_cast<size_t>(max)) std::memcpy(buffer, text.data(), text.size());
}

int32_t TCryptoEngine::EncodeData(void*, int32_t*, const char*) {
  RaiseAbstract();
}
int32_t TCryptoEngine::DecodeData(void*, int32_t*, char*) {
  RaiseAbstract();
}
int32_t TCryptoEngine::SignData(const void*, int32_t, void*, int32_t*, const char*) {
  RaiseAbstract();
}
int32_t TCryptoEngine::VerifyData(const void*, int32_t, const void*, int32_t, char*) {
  RaiseAbstract();
}

int32_t TCryptoEngine::IncludePublicKey(const char*) {
  return CE_UNSUPPORTED;
}
void TCryptoEngine::ClearCash() {}
int32_t TCryptoEngine::UpdateCertificateCash(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoveCertificate(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::IncludeCRL(const char*) {
  return CE_UNSUPPORTED;
}

void TCryptoEngine::GetLastErrorMessage(char* buffer) {
  Assert(buffer != nullptr, "Assertion failed: buffer must not be nil", "cryptobj");
  buffer[0] = '\0';
}

int32_t TCryptoEngine::GenerateNewSSK() {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GenerateNewSEK() {
  return CE_UNSUPPORTED;
}
bool TCryptoEngine::IsDifferentKeys() {
  return false;
}
int32_t TCryptoEngine::IncludePublicEncodeKey(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::SignFile(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::VerifyFile(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoveSignaturesFromFile(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::TransPrivateKeyFromFileToTM() {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::TransSignatureFromFileToTM() {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetMaxPublicKeyTransferSize() {
  return 4096;
}
int32_t TCryptoEngine::RemoteGenerateStart(int32_t) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoteGenerateFinish(int32_t) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::ExcludeSelfPublicKeyTransfer(char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::IncludePublicKeyTransfer(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetPublicKeyTransfer(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::SavePublicKeyFromTransfer(const char*, const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoteGenerateStartEx(const char*, char*, uint32_t*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoteGenerateFinishEx(const char*, uint32_t*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetPublicKeyTransferByFile(char*, const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::IncludeCACertificateFromTransfer(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::AddSign(void*, int32_t*, const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RemoveSign(void*, int32_t*, char*) {
  return CE_UNSUPPORTED;
}

int32_t TCryptoEngine::GetMaxSignAddition() {
  int64_t sum = static_cast<int64_t>(GetMaxSignatureLength()) + 255;
  return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

int32_t TCryptoEngine::GetMaxEncodeAdditionForCount(int32_t count) {
  return SaturatingProduct(GetMaxEncodeAddition(), count);
}

int32_t TCryptoEngine::SaveSignedDataToFile(const void* data, int32_t dataLength, const void* signature,
                                            int32_t signatureLength, const char* fileName) {
  // Nothing to write is a bad call, not a success: the host must not believe
  // a file exists that was never written.
  if (data == nullptr || fileName == nullptr || dataLength <= 0 || signatureLength < 0) return CE_BAD_ARGUMENT;
  // Without a signature buffer only the data is written (never unset bytes).
  if (signature == nullptr) signatureLength = 0;
  int64_t total = static_cast<int64_t>(dataLength) + signatureLength;
  if (total > INT32_MAX) return CE_BAD_ARGUMENT;
  return Guarded("TCryptoEngine.SaveSignedDataToFile: ", [&]() -> int32_t {
    std::string block(static_cast<size_t>(total), '\0');
    std::memcpy(block.data(), data, static_cast<size_t>(dataLength));
    if (signatureLength != 0) std::memcpy(block.data() + dataLength, signature, static_cast<size_t>(signatureLength));
    std::string target = ExpandRootPath(fileName);
    if (!WriteBufferToFile(target.c_str(), block.data(), static_cast<int32_t>(total))) return CE_WRITE_FAILED;
    return CE_OK;
  });
}

int32_t TCryptoEngine::GetRemoteGenType() {
  return 1;
}
int32_t TCryptoEngine::GetMaxReportSize() {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetReport(const char*, char*) {
  return CE_UNSUPPORTED;
}

int32_t TCryptoEngine::GetMaxAdditionEx(const char* uidList) {
  int32_t perRecipient = GetMaxEncodeAddition();
  if (uidList == nullptr || uidList[0] == '\0') return perRecipient;
  return SaturatingProduct(perRecipient, ListEntryCount(uidList));
}

int32_t TCryptoEngine::GetUIDByPublicKeyTransfer(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetReportByTransfer(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetReportByFile(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::CreateDirStructure(const char*, const char*) {
  return CE_UNSUPPORTED;
}

int32_t TCryptoEngine::VerifySignWOCheckValidity(const void* data, int32_t length, const void* signature,
                                                 int32_t signatureLength, char* signerUid) {
  return VerifyData(data, length, signature, signatureLength, signerUid);
}

int32_t TCryptoEngine::CertAndRequestTransferMatch(const char*, const char*, int32_t* match) {
  if (match == nullptr) return CE_BAD_ARGUMENT;
  *match = -1;
  return CE_OK;
}

int32_t TCryptoEngine::ConvertTransferToSignedRequest(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::HashData(const void*, int32_t, void*, int32_t*, const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::ShowCertificate(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetPureSign(const void*, int32_t, void*, int32_t*, const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetUIDByCertIdent(const char*, char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::InstallCertsInMyStore(const char*) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::RegisterOIDInfo(const std::string&, const std::u16string&) {
  return CE_UNSUPPORTED;
}
int32_t TCryptoEngine::GetParamInfo(int32_t, int32_t*, char*, int32_t*) {
  return CE_UNSUPPORTED;
}

int32_t TCryptoEngine::IncludeByKind(int32_t kind, void* a, void* b, void* c) {
  const char* text = static_cast<const char*>(b);
  switch (kind) {
    case 1:
      return Reserved2(a, b, c);
    case 2:
      return IncludePublicKey(text);
    case 3:
      return Reserved3(a, b, c);
    case 4:
      return IncludePublicEncodeKey(text);
    case 5:
      return Reserved4(a, b, c);
    case 6:
      return Reserved5(a, b);
    case 7:
      return IncludePublicKeyTransfer(text);
    case 8:
      return IncludeCACertificateFromTransfer(text);
    case 9:
      return Reserved1(a, b, c);
    case 10:
      return IncludeCRL(text);
    case 11:
      return Reserved6(a, b, c);
    default:
      return CE_UNSUPPORTED;
  }
}

int32_t TCryptoEngine::ExtendedByKind(int32_t kind, void* a, void* b, void* c, void* d) {
  switch (kind) {
    case 4:
      return Reserved7(a, b, c);
    case 5:
      return Reserved8(a, b, c, d);
    default:
      return CE_UNSUPPORTED;
  }
}

std::string TCryptoEngine::ExpandRootPath(const std::string& path) const {
  if (path.size() < kRootPlaceholderLength) return path;
  if (UpperAscii(path.substr(0, kRootPlaceholderLength)) != kRootPlaceholder) return path;
  std::string rest = path.substr(kRootPlaceholderLength);
  if (!rest.empty() && rest.front() == '\\') rest.erase(0, 1);
  return UpperAscii(rootPath_ + rest);
}

std::string TCryptoEngine::ExpandRootDir(const std::string& path) const {
  return IncludeBackslash(ExpandRootPath(path));
}

void TCryptoEngine::SetEngineRoot(const std::string& path) {
  rootPath_ = WithTrailingBackslash(path);
}

bool TCryptoEngine::CopyUID(const char* source, char* target, int32_t capacity) {
  if (source == nullptr || target == nullptr || capacity <= 0) return false;
  size_t withTerminator = std::strlen(source) + 1;
  std::memcpy(target, source, std::min(withTerminator, static_cast<size_t>(capacity)));
  return true;
}

int32_t TCryptoEngine::EncodeDataWithHeader(const std::string& header, void* buffer, int32_t* length,
                                            const char* uidList) {
  if (buffer == nullptr || length == nullptr || *length < 0) return CE_BAD_ARGUMENT;
  auto* bytes = static_cast<char*>(buffer);
  size_t headerSize = header.size() + 1;
  std::memmove(bytes + headerSize, bytes, static_cast<size_t>(*length));
  std::memcpy(bytes, header.c_str(), headerSize);
  int32_t dataLength = *length;
  int32_t result = EncodeData(bytes + headerSize, &dataLength, uidList);
  *length = static_cast<int32_t>(headerSize) + dataLength;
  return result;
}

int32_t TCryptoEngine::DecodeDataWithHeader(void* buffer, int32_t totalLength, void** data, int32_t* dataLength) {
  if (buffer == nullptr || data == nullptr || dataLength == nullptr || totalLength <= 0) return CE_BAD_ARGUMENT;
  auto* bytes = static_cast<char*>(buffer);
  // The header must end inside the block: never read past what was given.
  const void* terminator = std::memchr(bytes, '\0', static_cast<size_t>(totalLength));
  if (terminator == nullptr) return CE_BAD_ARGUMENT;
  auto headerSize = static_cast<int32_t>(static_cast<const char*>(terminator) - bytes) + 1;
  *dataLength = totalLength - headerSize;
  *data = bytes + headerSize;
  char scratch[256] = {};
  return DecodeData(*data, dataLength, scratch);
}

void TCryptoEngine::RecordException(const char* prefix) noexcept {
  try {
    LastError().SetText(std::string(prefix) + CurrentExceptionText());
  } catch (...) {
    // Out of memory while reporting: the previous text stays.
  }
}

}  // namespace cryptlib
