#include "engine/formats/cert_names.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "binding/param_numbers.h"
#include "platform/platform.h"
#include "support/fileutil.h"
#include "support/numbered_names.h"

namespace cryptlib {
namespace {

// Characters no UID may carry into a file name: separators, the drive and
// stream colon, and the characters Windows refuses in names (the wildcards
// among them would also widen the directory patterns built from a UID).
constexpr const char kRefusedCharacters[] = "\\/:*?\"<>|";
// Names tried past the largest backup before giving up.
constexpr int32_t kBackupNameAttempts = 100;

bool IsControl(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code < 0x20 || code == 0x7F;
}

bool IsRefused(char c) {
  return IsControl(c) || std::strchr(kRefusedCharacters, c) != nullptr;
}

bool PathExists(const std::string& path) {
  return platform::Os().GetAttributes(path) != platform::kInvalidAttributes;
}

// prefix + number + ".pem" for the plain decimal families.
std::string PlainNumberedName(const std::string& directory, const char* prefix) {
  const int32_t number = NextNumberInMask(directory, std::string(prefix) + "*.pem");
  return prefix + std::to_string(number) + ".pem";
}

}  // namespace

bool IsSafeUidFileName(const std::string& uid) {
  if (uid.empty() || uid.find("..") != std::string::npos) return false;
  for (char c : uid) {
    if (IsRefused(c)) return false;
  }
  return true;
}

int32_t CheckUidFileName(const std::string& uid) {
  return IsSafeUidFileName(uid) ? 0 : kBadUidCode;
}

std::string CertificateFileName(const std::string& uid) {
  return uid + ".pem";
}

std::string CertificateCerFileName(const std::string& uid) {
  return uid + ".cer";
}

std::string NextBackupName(const std::string& directory, const std::string& uid) {
  const int32_t number = NextBackupNumber(directory, uid);
  // Past every backup found; another process may have taken it since.
  const int64_t last = std::min<int64_t>(int64_t{number} + kBackupNameAttempts, INT32_MAX);
  for (int64_t candidate = std::max(number, 1); candidate <= last; ++candidate) {
    const std::string name = NumberedBackupName(uid, static_cast<int32_t>(candidate));
    if (!PathExists(IncludeBackslash(directory) + name)) return name;
  }
  return std::string();
}

std::string NextCaFileName(const std::string& directory) {
  return PlainNumberedName(directory, "ca");
}

std::string NextTransferCaFileName(const std::string& directory) {
  const std::string prefix = IncludeBackslash(directory);
  if (!PathExists(prefix + "ca.pem")) return "ca.pem";
  const std::string name = "ca" + FormatNumber5(NextNumberInMask(directory, "ca*.pem")) + ".pem";
  // A number cut to five digits may name a CA certificate already stored.
  if (PathExists(prefix + name)) return std::string();
  return name;
}

std::string NextCrlFileName(const std::string& directory) {
  return PlainNumberedName(directory, "crl");
}

std::string NextTransferTempFileName(const std::string& directory) {
  return "crt" + FormatNumber5(NextNumberInMask(directory, "crt*.*")) + ".pem";
}

std::string CaSubdirectory(const std::string& keyDirectory) {
  return IncludeBackslash(keyDirectory) + "CA\\";
}

std::string CrlSubdirectory(const std::string& keyDirectory) {
  return IncludeBackslash(keyDirectory) + "CRL\\";
}

int32_t StoreDirectoryParam(StoreDirectory which, int32_t libVariant) {
  const int32_t caParam = libVariant == 0 ? 24 : 25;
  return which == StoreDirectory::kCa ? caParam : caParam + 1;
}

std::string_view UidInSubjectLine(const char* line, std::string_view field) {
  if (UidIsWholeLine(field)) return line;
  // Scans the terminated line once, without building the tag or measuring the
  // line first: the UID of every verification and decryption is cut out here.
  for (const char* at = std::strchr(line, '/'); at != nullptr; at = std::strchr(at + 1, '/')) {
    const char* name = at + 1;
    if (std::strncmp(name, field.data(), field.size()) != 0 || name[field.size()] != '=') continue;
    const char* value = name + field.size() + 1;
    return std::string_view(value, std::strcspn(value, "/"));
  }
  return {};
}

std::string ResolveStoreDirectory(StoreDirectory which, int32_t libVariant, int32_t paramCount,
                                  const DirectoryParam& directoryParam) {
  const int32_t number = StoreDirectoryParam(which, libVariant);
  if (paramCount >= number) {
    std::string directory = directoryParam(number);
    if (!directory.empty()) return directory;
  }
  const std::string keyDirectory = directoryParam(param::kKeyDirectory);
  return which == StoreDirectory::kCa ? CaSubdirectory(keyDirectory) : CrlSubdirectory(keyDirectory);
}

}  // namespace cryptlib
