#include "dumps.h"

#include <cstdlib>
#include <cstring>

namespace fake {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "C=RU, O=Bank, CN=Alice", the one-line form of "-nameopt compat".
std::string CompatName(const std::string& subjectLine) {
  std::string name;
  for (const auto& [tag, value] : ParseSubjectLine(subjectLine)) {
    name += (name.empty() ? "" : ", ") + tag + "=" + value;
  }
  return name;
}

// "05.03.2004 12:34:56" as "Mar  5 12:34:56 2004 GMT".
std::string DumpDate(const std::string& date) {
  if (SortableDate(date).empty()) return date;
  int month = std::atoi(date.substr(3, 2).c_str());
  int day = std::atoi(date.substr(0, 2).c_str());
  std::string text = month >= 1 && month <= 12 ? kMonths[month - 1] : "???";
  text += day < 10 ? "  " : " ";
  return text + std::to_string(day) + " " + date.substr(11) + " " + date.substr(6, 4) + " GMT";
}

// The key bytes with the leading zero byte of an unsigned modulus, as
// colon-separated hex, 15 bytes to a line.
std::string ModulusLines(const std::string& hexKey, const std::string& indent) {
  std::string bytes = "00" + hexKey;
  std::string lines;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    size_t index = i / 2;
    if (index % 15 == 0) lines += (index ? "\n" : "") + indent;
    lines += bytes.substr(i, 2);
    if (i + 3 < bytes.size()) lines += ":";
  }
  return lines + "\n";
}

std::string PublicKeyInfo(const std::string& hexKey) {
  return "        Subject Public Key Info:\n"
         "            Public Key Algorithm: rsaEncryption\n"
         "                Public-Key: (" +
         std::to_string(hexKey.size() * 4) +
         " bit)\n"
         "                Modulus:\n" +
         ModulusLines(hexKey, std::string(20, ' ')) + "                Exponent: 65537 (0x10001)\n";
}

std::string SignatureBlock(const std::string& seed) {
  return "    Signature Algorithm: sha256WithRSAEncryption\n"
         "    Signature Value:\n" +
         ModulusLines(Checksum(seed) + Checksum(seed + "."), std::string(8, ' '));
}

char* Copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void Release(const char*& text) {
  std::free(const_cast<char*>(text));
  text = nullptr;
}

void FillName(const std::string& subjectLine, MPlugNameRecord& record) {
  NameParts parts = ParseSubjectLine(subjectLine);
  record.country = Copy(NameValue(parts, {"C"}));
  record.state = Copy(NameValue(parts, {"S", "ST", "SP"}));
  record.locality = Copy(NameValue(parts, {"L"}));
  record.organisation = Copy(NameValue(parts, {"O"}));
  record.organisationalUnit = Copy(NameValue(parts, {"OU"}));
  record.title = Copy(NameValue(parts, {"T"}));
  record.commonName = Copy(NameValue(parts, {"CN"}));
  record.email = Copy(NameValue(parts, {"E", "Email", "emailAddress"}));
}

void FreeName(MPlugNameRecord& record) {
  for (const char** text : {&record.country, &record.state, &record.locality, &record.organisation,
                            &record.organisationalUnit, &record.title, &record.commonName, &record.email}) {
    Release(*text);
  }
}

// The record's key text: the algorithm line first, then the modulus lines.
std::string PublicKeyDescription(const std::string& hexKey) {
  return "Public Key Algorithm: rsaEncryption\n" + ModulusLines(hexKey, std::string(8, ' '));
}

}  // namespace

std::string CertificateDump(const Certificate& c) {
  return "Certificate:\n"
         "    Data:\n"
         "        Version: 3 (0x2)\n"
         "        Serial Number:\n"
         "            " +
         c.serial +
         "\n"
         "        Signature Algorithm: sha256WithRSAEncryption\n"
         "        Issuer: " +
         CompatName(c.issuer) +
         "\n"
         "        Validity\n"
         "            Not Before: " +
         DumpDate(c.notBefore) +
         "\n"
         "            Not After : " +
         DumpDate(c.notAfter) +
         "\n"
         "        Subject: " +
         CompatName(c.subject) + "\n" + PublicKeyInfo(c.publicKey) + SignatureBlock(c.serial + c.subject);
}

std::string RequestDump(const Request& r) {
  return "Certificate Request:\n"
         "    Data:\n"
         "        Version: 1 (0x0)\n"
         "        Subject: " +
         CompatName(r.subject) + "\n" + PublicKeyInfo(r.publicKey) +
         "        Attributes:\n"
         "            (none)\n"
         "            Requested Extensions:\n" +
         SignatureBlock(r.subject + r.publicKey);
}

void FillCertInfo(const Certificate& certificate, MPlugCertInfo& info) {
  info.serialNumber = Copy(certificate.serial);
  info.validFrom = Copy(certificate.notBefore);
  info.validTo = Copy(certificate.notAfter);
  FillName(certificate.issuer, info.issuer);
  FillName(certificate.subject, info.subject);
  info.publicKey = Copy(PublicKeyDescription(certificate.publicKey));
}

void FreeCertInfoTexts(MPlugCertInfo& info) {
  Release(info.serialNumber);
  Release(info.validFrom);
  Release(info.validTo);
  FreeName(info.issuer);
  FreeName(info.subject);
  Release(info.publicKey);
}

void FillReqInfo(const Request& request, MPlugReqInfo& info) {
  FillName(request.subject, info.subject);
  info.publicKey = Copy(PublicKeyDescription(request.publicKey));
}

void FreeReqInfoTexts(MPlugReqInfo& info) {
  FreeName(info.subject);
  Release(info.publicKey);
}

}  // namespace fake
