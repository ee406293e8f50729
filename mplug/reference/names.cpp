#include "names.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <cctype>
#include <memory>

#include "errors.h"
#include "module.h"

namespace ref {
namespace {

// The engine cuts subject lines by these tags, so e-mail and title use the
// one-letter forms instead of OpenSSL's "emailAddress" and "title".
std::string TagOf(const ASN1_OBJECT* object) {
  int nid = OBJ_obj2nid(object);
  switch (nid) {
    case NID_pkcs9_emailAddress:
      return "E";
    case NID_title:
      return "T";
    case NID_stateOrProvinceName:
      return "ST";
    default:
      break;
  }
  if (nid != NID_undef) {
    if (const char* shortName = OBJ_nid2sn(nid)) return shortName;
  }
  char dotted[128];
  OBJ_obj2txt(dotted, sizeof dotted, object, 1);
  return dotted;
}

std::string Utf8Value(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

// The engine cuts a subject line at "/TAG=" and makes file names of what it
// finds, so a value must not hold "/" (a forged attribute) or "\" (a
// directory separator to the engine). They are written as %2F and %5C, and
// "%" itself as %25 so that no two values read the same.
std::string EscapedValue(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '%':
        escaped += "%25";
        break;
      case '/':
        escaped += "%2F";
        break;
      case '\\':
        escaped += "%5C";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string SubjectLine(const X509_NAME* name) {
  std::string line;
  int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    line +=
        "/" + TagOf(X509_NAME_ENTRY_get_object(entry)) + "=" + EscapedValue(Utf8Value(X509_NAME_ENTRY_get_data(entry)));
  }
  return line;
}

std::string SerialIdentifier(const X509* certificate) {
  std::unique_ptr<BIGNUM, OsslDeleter<BN_free>> number(
      ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
  if (!number) FailCrypto(kErrNotCertificate, "unreadable serial number");
  if (BN_is_zero(number.get())) return "0";
  char* hex = BN_bn2hex(number.get());
  std::string text = hex != nullptr ? hex : "";
  OPENSSL_free(hex);
  size_t first = text.find_first_not_of('0', text[0] == '-' ? 1 : 0);
  if (text[0] != '-' && first != std::string::npos) text.erase(0, first);
  return text;
}

std::string SerialText(const X509* certificate) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
  const unsigned char* bytes = ASN1_STRING_get0_data(serial);
  int length = ASN1_STRING_length(serial);
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < length; ++i) {
    if (i != 0) text += ':';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text.empty() ? "00" : text;
}

std::string NameEntry(const X509_NAME* name, int nid) {
  int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return {};
  return Utf8Value(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

std::string CompatName(const X509_NAME* name) {
  BioPtr out = EmptyBio();
  X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_COMPAT);
  return BioText(out.get());
}

X509NamePtr BuildName(const std::vector<std::pair<int, std::string>>& entries) {
  X509NamePtr name(X509_NAME_new());
  if (!name) FailCrypto(kErrInternal, "X509_NAME_new");
  for (const auto& [nid, value] : entries) {
    if (value.empty()) continue;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    int size = static_cast<int>(value.size());
    // UTF-8 first; text that is not valid UTF-8 is taken byte for byte.
    if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8, bytes, size, -1, 0) != 1) {
      TakeCryptoErrors();
      if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_ASC, bytes, size, -1, 0) != 1) {
        FailCrypto(kErrBadArguments, std::string("subject field ") + OBJ_nid2sn(nid) + " \"" + value + "\"");
      }
    }
  }
  return name;
}

}  // namespace ref
