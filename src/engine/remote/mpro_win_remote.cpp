// TMProWinCryptoEngine: the stepwise start of remote key generation. The new
// key container is made on the key media by a generation utility the host
// runs between two steps; the engine prepares the remote generation
// directory R, watches the media's fingerprint change, makes the request for
// the new key, copies the new key files into R and hands the host the
// request as a transfer signed with the old key. From the first step-2 call
// to the marker call this engine holds the key store for writing.
#include <algorithm>
#include <cstring>
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/formats/remote_key_name.h"
#include "engine/mpro_win.h"
#include "engine/remote/remote_files.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

// The marker the exchange buffer carries from step 3 to the last call.
constexpr char kLastStepMarker[] = "LAST STEP";
constexpr char kTestData[] = "Test!";
// The request file read at the last step is at most this long.
constexpr int32_t kMaxRequestSize = 8192;

bool HoldsLastStepMarker(const char* exchange) {
  // strncmp stops at the buffer's first difference or terminator, so it
  // never reads further than the marker's length.
  return exchange != nullptr && std::strncmp(exchange, kLastStepMarker, sizeof kLastStepMarker) == 0;
}

}  // namespace

int32_t TMProWinCryptoEngine::GetRemoteGenType() {
  return 3;
}

void TMProWinCryptoEngine::HoldKeyStoreForWriting() {
  if (keyStoreLocked_) return;
  KeyStoreLock().BeginWrite();
  keyStoreLocked_ = true;
}

void TMProWinCryptoEngine::ReleaseKeyStoreHold() {
  if (!keyStoreLocked_) return;
  // Raises on a thread other than the one that took the hold; the flag then
  // stays set, since the hold is still there.
  KeyStoreLock().EndWrite();
  keyStoreLocked_ = false;
}

int32_t TMProWinCryptoEngine::RemoteDirectory(std::string& directory) {
  directory.clear();
  if (Trim(RemoteGeneratePath()).empty()) return CE_REMOTE_PATH;
  const std::string expanded = ExpandRootDir(RemoteGeneratePath());
  if (!DirectoryExists(expanded)) return CE_REMOTE_PATH;
  directory = expanded;
  return CE_OK;
}

std::string TMProWinCryptoEngine::GetKeyMediaPath() {
  std::string media;
  if (GetCryptoParamNumber() > param::kKeyMedia - 1)
    media = ExpandRootDir(ParamAsHostReads(param::kKeyMedia, GetMaxCryptoParamValueLength()));
  return media.empty() ? std::string(remote::kDefaultKeyMedia) : media;
}

TMProWinCryptoEngine::SubjectFields TMProWinCryptoEngine::GetSubjectParams() {
  const int32_t capacity = GetMaxCryptoParamValueLength();
  const auto read = [&](int32_t number) { return ParamAsHostReads(number, capacity); };
  SubjectFields fields;
  fields.cn = read(param::kCommonName);
  fields.c = read(param::kCountry);
  fields.s = read(param::kState);
  fields.l = read(param::kLocality);
  fields.o = read(param::kOrganisation);
  fields.ou = read(param::kUnit);
  fields.e = read(param::kEmail);
  if (GetCryptoParamNumber() >= param::kTitle) fields.t = read(param::kTitle);
  return fields;
}

int32_t TMProWinCryptoEngine::GetCertParameters(const std::string& file, SubjectFields& fields) {
  return Guarded("TMProWinCryptoEngine.GetCertParameters: ", [&]() -> int32_t {
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    std::string line;
    if (const int32_t result = ReadCertSubjectLine(file, "CN", line)) return result;
    fields = SubjectFromLine(line);
    return CE_OK;
  });
}

TMProWinCryptoEngine::SubjectFields TMProWinCryptoEngine::SubjectFromLine(const std::string& line) {
  // The first of several spellings the line carries.
  const auto first = [&](std::initializer_list<const char*> tags) {
    for (const char* tag : tags)
      if (std::string value = ExtractDNField(line, tag); !value.empty()) return value;
    return std::string();
  };
  SubjectFields fields;
  fields.cn = ExtractDNField(line, "/CN=");
  fields.c = ExtractDNField(line, "/C=");
  fields.s = first({"/SP=", "/ST=", "/S="});
  fields.l = ExtractDNField(line, "/L=");
  fields.o = ExtractDNField(line, "/O=");
  fields.ou = ExtractDNField(line, "/OU=");
  fields.e = first({"/E=", "/Email="});
  fields.t = ExtractDNField(line, "/T=");
  return fields;
}

// --- the host's steps ---

int32_t TMProWinCryptoEngine::RemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step) {
  if (step == nullptr) return CE_BAD_ARGUMENT;
  constexpr const char* kPrefix = "TMProWinCryptoEngine.RemoteGenerateStartEx: ";
  const int32_t result = Guarded(kPrefix, [&] { return RunStartStep(keyName, exchange, *step); });
  // A failed step ends the procedure: the key store opens again.
  if (result != CE_OK && keyStoreLocked_) {
    Guarded(kPrefix, [&] {
      ReleaseKeyStoreHold();
      return CE_OK;
    });
  }
  return result;
}

int32_t TMProWinCryptoEngine::RunStartStep(const char* keyName, char* exchange, uint32_t& step) {
  const uint32_t entry = step;
  switch (entry) {
    case 0:
    case 10:
      step = entry + 2;
      return CE_OK;
    case 2:
    case 12:
      if (HoldsLastStepMarker(exchange)) {
        step = 1;
        ReleaseKeyStoreHold();
        return RemoteGenerateEXStep_4(exchange);
      } else {
        step = 1;
        const int32_t result = RemoteGenerateEXStep_1();
        if (result != CE_OK) return result;
        HoldKeyStoreForWriting();
        step = entry + 1;
        return CE_OK;
      }
    case 3:
    case 13:
      step = entry + 2;
      return RemoteGenerateEXStep_2();
    case 5:
    case 15:
      step = entry - 3;
      return InternalRemoteGenerateStart_WithUtility(exchange, keyName, entry == 15);
    default:
      return CE_OK;
  }
}

int32_t TMProWinCryptoEngine::RemoteGenerateEXStep_1() {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  if (!EmptyDirectoryLocked(remote)) return CE_REMOTE_DIR_IO;
  const std::string own = ExpandRootPath(ParamAsHostReads(param::kOwnCertificate, GetMaxCryptoParamValueLength()));
  bool ownExists = false;
  {
    WriteGuard hold(KeyStoreLock());
    ownExists = FileExists(own);
  }
  if (!ownExists) return CE_CERT_NOT_FOUND;
  if (!CopyFileLocked(own, remote + remote::kSelfCertificate)) return CE_KEY_FILE_IO;
  std::string uid;
  if (const int32_t result = CurrentUserUID(uid)) return result;
  // The current signing key must work: the request travels signed with it.
  std::vector<char> signature(static_cast<size_t>(std::max(GetMaxSignatureLength(), 1)), '\0');
  auto signatureLength = static_cast<int32_t>(signature.size());
  return SignData(kTestData, static_cast<int32_t>(std::strlen(kTestData)), signature.data(), &signatureLength,
                  uid.c_str());
}

int32_t TMProWinCryptoEngine::RemoteGenerateEXStep_2() {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  std::vector<char> fingerprint(static_cast<size_t>(std::max(GetMaxCryptoParamValueLength(), 1)) + 1, '\0');
  RG_PSEPrivateKeyBackup(GetKeyMediaPath(), fingerprint.data());
  const std::string text = fingerprint.data();
  if (text.empty()) return CE_OK;
  const std::string file = remote + remote::kFingerprintFile;
  // R holds the user's alone.
  return WriteBufferToPrivateFile(file, text.data(), text.size()) ? CE_OK : CE_REMOTE_DIR_IO;
}

int32_t TMProWinCryptoEngine::InternalRemoteGenerateStart_WithUtility(char* buffer, const char* keyName,
                                                                      bool subjectFromParams) {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  std::string name;
  const int32_t named = Guarded("TMProWinCryptoEngine.InternalRemoteGenerateStart_WithUtility: ", [&]() -> int32_t {
    const std::string field = UIDField();
    std::string uid;
    if (const int32_t result = ReadCertFileField(remote + remote::kSelfCertificate, field, uid)) return result;
    name = RemoteKeyName(keyName, uid, field);
    return CE_OK;
  });
  if (named != CE_OK) return named;
  return RemoteGenerateEXStep_3(buffer, name, subjectFromParams);
}

int32_t TMProWinCryptoEngine::ReadFingerprintFile(const std::string& file, std::string& text) {
  text.clear();
  if (!FileExists(file)) return CE_OK;
  const int32_t capacity = std::max(GetMaxCryptoParamValueLength(), 0);
  std::vector<char> content(static_cast<size_t>(capacity) + 1, '\0');
  int32_t size = capacity;
  if (!ReadFileToBuffer(file.c_str(), content.data(), &size)) return CE_REMOTE_DIR_IO;
  text.assign(content.data(), static_cast<size_t>(size));
  return CE_OK;
}

int32_t TMProWinCryptoEngine::RemoteGenerateEXStep_3(char* buffer, const std::string& keyName, bool subjectFromParams) {
  if (buffer == nullptr) return CE_LOW_MEMORY;
  return Guarded("TMProWinCryptoEngine.RemoteGenerateEXStep_3: ", [&]() -> int32_t {
    std::string remote;
    if (const int32_t result = RemoteDirectory(remote)) return result;
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    const std::string media = GetKeyMediaPath();
    std::vector<char> fingerprint(static_cast<size_t>(std::max(GetMaxCryptoParamValueLength(), 1)) + 1, '\0');
    if (const int32_t result = RG_PSEPrivateKeyBackup(media, fingerprint.data())) return result;
    std::string recorded;
    if (const int32_t result = ReadFingerprintFile(remote + remote::kFingerprintFile, recorded)) return result;
    // The same container as at step 3: the utility has not made a new key.
    if (recorded == fingerprint.data()) return CE_KEY_UTILITY;
    SubjectFields subject;
    if (subjectFromParams) {
      subject = GetSubjectParams();
    } else if (const int32_t result = GetCertParameters(remote + remote::kSelfCertificate, subject)) {
      return result;
    }
    if (std::string* named = subject.Named(UIDField())) *named = keyName;
    PseRequest request;
    request.ownCertificate = remote + remote::kSelfCertificate;
    request.keyDirectory = media;
    request.subject = std::move(subject);
    request.requestFile = remote + remote::kRequestFile;
    request.flag = ParamAsHostReads(param::kFlag, GetMaxCryptoParamValueLength());
    if (const int32_t result = binding->RequestForPSE(request)) return result;
    if (!RG_CopyKeyFiles(media)) return CE_REMOTE_DIR_IO;
    std::memcpy(buffer, kLastStepMarker, sizeof kLastStepMarker);
    return CE_OK;
  });
}

int32_t TMProWinCryptoEngine::RemoteGenerateEXStep_4(char* buffer) {
  if (buffer == nullptr) return CE_LOW_MEMORY;
  // Without R the key files would be looked for relative to the process's
  // current directory, which may be the key directory itself.
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  return Guarded("TMProWinCryptoEngine.RemoteGenerateEXStep_4: ", [&]() -> int32_t {
    ClearCash();
    std::string uid;
    if (const int32_t result = CurrentUserUID(uid)) return result;
    if (const int32_t result = RG_BackupKeyFiles(uid)) return result;
    const std::string request = remote + remote::kRequestFile;
    if (!FileExists(request)) return CE_NEW_KEY_NOT_FOUND;
    std::vector<char> content(kMaxRequestSize, '\0');
    int32_t size = kMaxRequestSize;
    if (!ReadFileToBuffer(request.c_str(), content.data(), &size)) return CE_NEW_KEY_NOT_FOUND;
    return MakePublicKeyTransfer(uid, content.data(), size, buffer);
  });
}

}  // namespace cryptlib
