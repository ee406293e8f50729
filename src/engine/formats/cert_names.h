// Names in the certificate store: the directories a user's tree is made of,
// the numbered file names of certificates, CA certificates, revocation lists
// and transfers, and the check that keeps a UID from naming a file outside
// the certificate directory.
//
// Directories are given and returned with a trailing backslash where they are
// not empty (the form the engine's parameters resolve to); the Next...Name
// functions answer bare file names, to be joined to their directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cryptlib.h"

namespace cryptlib {

// The UID field rule (parameter 20): holders are named by one field of their
// certificate's subject line; an empty field reads as "CN", and "SN" names a
// holder by the whole line.
inline std::string_view UidFieldOrDefault(std::string_view field) {
  return field.empty() ? std::string_view("CN") : field;
}
inline bool UidIsWholeLine(std::string_view field) {
  return field == "SN";
}
// The UID of a terminated subject line ("/C=RU/CN=Alice") under field (as
// UidFieldOrDefault gives it): the value of its first "/<field>=" up to the
// next "/", or the whole line for "SN"; empty when the line has no such tag.
std::string_view UidInSubjectLine(const char* line, std::string_view field);

// The code of a UID refused as a file name ("UID error. Bad UID setting or
// incorrect UID passed to the function.").
inline constexpr int32_t kBadUidCode = CE_BAD_UID;

// True when uid + ".pem" (or + ".cer", or + "." + three digits) names a file
// directly inside the certificate directory: the UID is not empty and holds no
// path separator ("\" or "/"), no drive or stream colon, no "..", no control
// character, and none of the wildcard or reserved characters * ? " < > | (a
// wildcard would also make the backup numbering count other holders' files).
bool IsSafeUidFileName(const std::string& uid);
// 0 for a UID that IsSafeUidFileName accepts, kBadUidCode for any other.
int32_t CheckUidFileName(const std::string& uid);

// uid + ".pem" and uid + ".cer": a holder's certificate file names.
std::string CertificateFileName(const std::string& uid);
std::string CertificateCerFileName(const std::string& uid);

// The name a replaced certificate of uid is moved aside to: uid + "." and
// the number one more than the largest backup number of uid's files in
// directory, three digits while it fits, more beyond ("Alice.001" when only
// "Alice.pem" exists, "Alice.1000" after "Alice.999"). Empty only when the
// numbers past the largest are taken faster than they can be tried.
std::string NextBackupName(const std::string& directory, const std::string& uid);

// "ca" + N + ".pem", N one more than the largest number between "ca" and the
// first "." of the names "ca*.pem" in directory (1 for none; 0 when the
// directory does not exist). Used when the directory tree is laid out.
std::string NextCaFileName(const std::string& directory);
// "ca.pem" while it does not exist in directory; then "ca" + five digits +
// ".pem", numbered as NextCaFileName ("ca.pem" counts as 0). Empty when the
// five-digit name is taken already (numbers past 99999 keep five digits).
std::string NextTransferCaFileName(const std::string& directory);
// "crl" + N + ".pem", numbered as NextCaFileName over "crl*.pem".
std::string NextCrlFileName(const std::string& directory);
// "crt" + five digits + ".pem": the temporary name a certificate from a
// transfer is saved under, numbered over "crt*.*" (00000 when the directory
// does not exist).
std::string NextTransferTempFileName(const std::string& directory);

// The directories of a user's tree below the key directory (parameter 3):
// keyDirectory + "CA\" and keyDirectory + "CRL\".
std::string CaSubdirectory(const std::string& keyDirectory);
std::string CrlSubdirectory(const std::string& keyDirectory);

// The CA and revocation-list directories. Their parameter depends on the
// module's library variant: 24 and 25 for variant 0, 25 and 26 for variants 1
// and 2 (1-based parameter numbers).
enum class StoreDirectory { kCa, kCrl };
int32_t StoreDirectoryParam(StoreDirectory which, int32_t libVariant);
// The directory a parameter number resolves to: trimmed, root expanded, with
// a trailing backslash; empty when the parameter is empty.
using DirectoryParam = std::function<std::string(int32_t number)>;
// The parameter's directory when the module reports that many parameters
// (paramCount) and the value is not empty; otherwise the subdirectory "CA\" or
// "CRL\" of the key directory (parameter 3).
std::string ResolveStoreDirectory(StoreDirectory which, int32_t libVariant, int32_t paramCount,
                                  const DirectoryParam& directoryParam);

}  // namespace cryptlib
