// TMPro1CryptoEngine: construction, the binding, and the holder identities.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "engine/formats/cert_names.h"
#include "platform/platform.h"
#include "support/exceptions.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

constexpr const char* kEngineName = "Message-PRO 1.1";
constexpr int32_t kOwnParamCount = 25;
// A certificate that names another holder than the UID asked for: the code
// table gives -106 to this and to a failed write alike.
constexpr int32_t kHolderMismatch = CE_WRITE_FAILED;

}  // namespace

TMPro1CryptoEngine::TMPro1CryptoEngine() {
  std::vector<std::string>& values = ParamValues();
  values.resize(values.size() + kOwnParamCount);
  values[3] = "RUS-GAMMAR";
  values[4] = "R3410-R3411";
  values[5] = "1024";
  values[10] = "RU";
}

TMPro1CryptoEngine::~TMPro1CryptoEngine() {
  usableBinding_.store(nullptr, std::memory_order_release);
  dll_.reset();
}

void TMPro1CryptoEngine::GetEngineName(char* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, kEngineName, std::strlen(kEngineName) + 1);
}

int32_t TMPro1CryptoEngine::GetCryptoAPI(TMProDLL*& binding) {
  binding = nullptr;
  std::lock_guard<std::mutex> hold(apiLock_);
  if (apiFailed_) return CE_OK;
  if (!dll_) {
    try {
      dll_ = std::make_unique<TMProDLL>(libVariant_);
      dll_->SetErrorLog(&vendorErrors_);
    } catch (...) {
      RecordException("TMProCryptoEngine.GetCryptoAPI: ");
      apiFailed_ = true;
      return CE_EXCEPTION;
    }
  }
  // A binding that failed stays: the engine answers the same code until it
  // is destroyed.
  if (!dll_->Loaded()) return CE_LOAD_FAILED;
  if (!dll_->Bound()) return CE_BIND_FAILED;
  binding = dll_.get();
  usableBinding_.store(binding, std::memory_order_release);
  return CE_OK;
}

int32_t TMPro1CryptoEngine::AcquireBinding(TMProDLL*& binding) {
  // A usable binding stays until the engine is destroyed: later calls take
  // it without the creation lock.
  binding = usableBinding_.load(std::memory_order_acquire);
  if (binding != nullptr) return CE_OK;
  const int32_t result = GetCryptoAPI(binding);
  if (result != CE_OK) return result;
  return binding != nullptr ? CE_OK : CE_NOT_INITIALIZED;
}

ParamSnapshot TMPro1CryptoEngine::BuildSnapshot(TMProDLL& binding) {
  const int32_t count = binding.Functions().GetCryptoParamNumber();
  const std::vector<std::string>& values = ParamValues();
  if (count < 0 || static_cast<size_t>(count) > values.size())
    throw EListError("List index out of bounds (" + std::to_string(count) + ")");
  return ParamSnapshot(values.begin(), values.begin() + count);
}

std::shared_ptr<const KeyedSnapshot> TMPro1CryptoEngine::CurrentSnapshot(TMProDLL& binding) {
  const int32_t count = binding.Functions().GetCryptoParamNumber();
  const std::vector<std::string>& values = ParamValues();
  if (count < 0 || static_cast<size_t>(count) > values.size())
    throw EListError("List index out of bounds (" + std::to_string(count) + ")");
  // Read before the values are copied: a value set during the copy leaves a
  // newer version behind, and the next call copies again.
  const uint64_t version = ParamsVersion();
  std::lock_guard<std::mutex> hold(snapshotLock_);
  if (!snapshot_ || snapshotVersion_ != version || snapshot_->keyCount != count) {
    snapshot_ = std::make_shared<const KeyedSnapshot>(
        MakeKeyedSnapshot(ParamSnapshot(values.begin(), values.begin() + count), count));
    snapshotVersion_ = version;
  }
  return snapshot_;
}

std::string_view TMPro1CryptoEngine::TrimmedParamView(int32_t number) {
  const std::vector<std::string>& values = ParamValues();
  if (number < 1 || static_cast<size_t>(number) > values.size()) return {};
  return TrimView(values[static_cast<size_t>(number) - 1]);
}

std::string TMPro1CryptoEngine::TrimmedParam(int32_t number) {
  return std::string(TrimmedParamView(number));
}

std::string TMPro1CryptoEngine::UIDField() {
  return std::string(UidFieldOrDefault(TrimmedParamView(param::kUIDField)));
}

std::string TMPro1CryptoEngine::ExtractDNField(const std::string& line, const std::string& tag) {
  const size_t start = line.find(tag);
  if (start == std::string::npos) return std::string();
  const size_t valueStart = start + tag.size();
  const size_t end = line.find('/', valueStart);
  return line.substr(valueStart, end == std::string::npos ? std::string::npos : end - valueStart);
}

std::string TMPro1CryptoEngine::UIDFromVendorString(const char* vendorString) {
  return std::string(UidInSubjectLine(vendorString, UidFieldOrDefault(TrimmedParamView(param::kUIDField))));
}

std::string_view TMPro1CryptoEngine::HostUIDCut(std::string_view uid) {
  constexpr size_t kRoom = static_cast<size_t>(kHostUIDSize) - 1;
  if (uid.size() <= kRoom) return uid;
  size_t count = kRoom;
#ifndef _WIN32
  // UTF-8: a continuation byte at the cut means the character before it
  // would be split; the cut moves in front of that character.
  while (count > 0 && (static_cast<unsigned char>(uid[count]) & 0xC0) == 0x80) --count;
#endif
  return uid.substr(0, count);
}

namespace {

void CopyTruncated(std::string_view uid, char* target) {
  const std::string_view cut = TMPro1CryptoEngine::HostUIDCut(uid);
  // An empty view may have no data pointer at all.
  if (!cut.empty()) std::memcpy(target, cut.data(), cut.size());
  target[cut.size()] = '\0';
}

// The holders filed in directory: the names of its ".pem" and ".cer" files
// without the extension. Every name counts, one starting with "." too (a UID
// may), which the general listing leaves out.
std::vector<std::string> FiledHolders(const std::string& directory) {
  std::vector<platform::DirEntry> entries;
  std::vector<std::string> holders;
  if (!platform::Os().ListDirectory(IncludeBackslash(directory) + "*.*", entries)) return holders;
  for (const platform::DirEntry& entry : entries) {
    const std::string& name = entry.name;
    if ((entry.attributes & platform::kAttrDirectory) != 0 || name.size() <= 4) continue;
    const std::string extension = UpperAscii(name.substr(name.size() - 4));
    if (extension == ".PEM" || extension == ".CER") holders.push_back(name.substr(0, name.size() - 4));
  }
  return holders;
}

// The shortest cut a host buffer makes of a longer UID: 39 bytes, less up
// to three where a UTF-8 character would have been split.
constexpr size_t kShortestHostCut = TMPro1CryptoEngine::kHostUIDSize - 4;

}  // namespace

void TMPro1CryptoEngine::CopyHostUID(const std::string& uid, char* target) {
  CopyTruncated(uid, target);
}

void TMPro1CryptoEngine::CopyHostUIDFromVendor(const char* vendorString, char* target) {
  CopyTruncated(UidInSubjectLine(vendorString, UidFieldOrDefault(TrimmedParamView(param::kUIDField))), target);
}

std::unique_ptr<TMProDLL> TMPro1CryptoEngine::ReaderBinding() {
  auto reader = std::make_unique<TMProDLL>(libVariant_);
  reader->SetErrorLog(&vendorErrors_);
  return reader;
}

TMPro1CryptoEngine::VendorUID::VendorUID(TMProDLL& binding) : data_(local_) {
  const size_t size = static_cast<size_t>(std::max(binding.Functions().GetMaxUIDLength(), 0)) + 1;
  if (size > sizeof local_) {
    heap_ = std::make_unique<char[]>(size);
    data_ = heap_.get();
  } else {
    std::memset(local_, 0, size);
  }
}

int32_t TMPro1CryptoEngine::ResolveHolderUID(const std::string& given, std::string& uid) {
  uid = given;
  if (UidIsWholeLine(UIDField()) || !IsSafeUidFileName(given)) return CE_OK;
  const std::string directory = IncludeBackslash(TrimmedParam(param::kCertificateDirectory));
  if (FileExists(directory + CertificateFileName(given)) || FileExists(directory + CertificateCerFileName(given)))
    return CE_OK;
  if (given.size() < kShortestHostCut || given.size() >= static_cast<size_t>(kHostUIDSize)) return CE_OK;
  // Not filed under its own name, and as long as a cut UID: the host may
  // hold the cut UID of a longer holder, as this engine reported it.
  std::vector<std::string> matches;
  for (const std::string& holder : FiledHolders(directory)) {
    if (holder.size() <= given.size() || !SameTextAscii(std::string(HostUIDCut(holder)), given)) continue;
    const bool known = std::any_of(matches.begin(), matches.end(),
                                   [&](const std::string& match) { return SameTextAscii(match, holder); });
    if (!known) matches.push_back(holder);
  }
  if (matches.size() == 1) uid = matches.front();
  if (matches.size() > 1) {
    LastError().SetText("TMProCryptoEngine.ResolveHolderUID: the UID '" + given + "' is the beginning of " +
                        std::to_string(matches.size()) + " holders' UIDs");
    return kBadUidCode;
  }
  return CE_OK;
}

int32_t TMPro1CryptoEngine::ReadSubjectFromCert(const std::string& given, std::string& subject, std::string* holder) {
  subject.clear();
  return Guarded("TMProCryptoEngine.ReadSubjectFromCert: ", [&]() -> int32_t {
    const std::string field = UIDField();
    if (UidIsWholeLine(field)) {
      subject = given;
      if (holder != nullptr) *holder = given;
      return CE_OK;
    }
    // The UID names the holder's file: one that would lead out of the
    // certificate directory is refused before any file is read.
    if (!IsSafeUidFileName(given)) return CE_BAD_UID;
    std::string uid;
    if (const int32_t result = ResolveHolderUID(given, uid)) return result;
    // ".pem" first; ".cer" is looked at only when there is no ".pem".
    std::string certificate = IncludeBackslash(TrimmedParam(param::kCertificateDirectory));
    const size_t extension = certificate.size() + uid.size();
    certificate.reserve(extension + 4);
    certificate += uid;
    certificate += ".pem";
    if (!FileExists(certificate)) {
      certificate.replace(extension, 4, ".cer");
      if (!FileExists(certificate)) return CE_CERT_NOT_FOUND;
    }

    std::string line;
    if (const int32_t result = ReadCertSubjectLine(certificate, field, line)) return result;
    // The file was found without regard to letter case: so is its holder.
    const std::string_view named = UidInSubjectLine(line.c_str(), field);
    if (!SameTextAscii(std::string(named), uid)) return kHolderMismatch;
    if (holder != nullptr) *holder = std::string(named);
    subject = std::move(line);
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::ReadCertSubjectLine(const std::string& file, const std::string& field, std::string& line) {
  line.clear();
  // A binding of its own whose parameters name only the file and the field:
  // the module answers for that certificate as if it were the user's.
  const std::unique_ptr<TMProDLL> binding = ReaderBinding();
  TMProDLL& reader = *binding;
  if (!reader.Bound()) return reader.Loaded() ? CE_BIND_FAILED : CE_LOAD_FAILED;
  ParamSnapshot params(static_cast<size_t>(std::max(reader.Functions().GetCryptoParamNumber(), 0)));
  if (!params.empty()) params[0] = file;
  if (params.size() >= param::kUIDField) params[param::kUIDField - 1] = field;
  VendorUID text(reader);
  if (const int32_t result = reader.GetCurrentUID(params, text.data())) return result;
  line = text.data();
  return CE_OK;
}

int32_t TMPro1CryptoEngine::SignerForVendor(const char* signerUid, std::string& signer) {
  signer.clear();
  if (signerUid == nullptr || *signerUid == '\0') return CE_OK;
  return ReadSubjectFromCert(signerUid, signer);
}

int32_t TMPro1CryptoEngine::CurrentUserUID(std::string& uid) {
  uid.clear();
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.GetCurrentUID: ", [&]() -> int32_t {
    VendorUID current(*binding);
    const int32_t result = binding->GetCurrentUID(*CurrentSnapshot(*binding), current.data());
    if (result != CE_OK) return result;
    uid = UIDFromVendorString(current.data());
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::GetCurrentUserUID(char* uid) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  if (uid == nullptr) return CE_BAD_ARGUMENT;
  std::string own;
  if (const int32_t result = CurrentUserUID(own)) return result;
  CopyHostUID(own, uid);
  return CE_OK;
}

int32_t TMPro1CryptoEngine::GetEncodeUIDBySignUID(const char* signUid, char* uid) {
  if (signUid == nullptr || uid == nullptr) return CE_BAD_ARGUMENT;
  // The encoding UID is the signature UID itself. One that cannot be copied
  // whole, terminator included, into the host's UID buffer is refused rather
  // than handed back cut and unterminated. No more than the bytes that
  // decide this are read: a host string need not be terminated beyond them.
  if (strnlen(signUid, kHostUIDSize) >= static_cast<size_t>(kHostUIDSize)) return CE_STRING_LENGTH;
  return CopyUID(signUid, uid, kHostUIDSize) ? CE_OK : CE_STRING_LENGTH;
}

// Keys live in files: there is nothing to transfer to a token.
int32_t TMPro1CryptoEngine::TransPrivateKeyFromFileToTM() {
  return CE_OK;
}
int32_t TMPro1CryptoEngine::TransSignatureFromFileToTM() {
  return CE_OK;
}

}  // namespace cryptlib
