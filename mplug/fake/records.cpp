#include "records.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>

#include "dumps.h"

namespace fake {
namespace {

using Fields = std::map<std::string, std::string>;

std::string_view TrimLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  return line;
}

// The "Key: value" lines after the title line, up to an armour end, a blank
// line or the end of the text; nullopt when the title is missing.
std::optional<Fields> ReadFields(std::string_view text, std::string_view title) {
  std::optional<Fields> fields;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimLineEnd(text.substr(pos, end - pos));
    pos = end + 1;
    if (!fields) {
      if (line == title) fields.emplace();
      continue;
    }
    if (line.empty() || line.starts_with("-----END")) break;
    size_t colon = line.find(": ");
    if (colon != std::string_view::npos) (*fields)[std::string(line.substr(0, colon))] = line.substr(colon + 2);
  }
  return fields;
}

std::string Field(const Fields& fields, const std::string& key, const std::string& fallback = {}) {
  auto it = fields.find(key);
  return it == fields.end() || it->second.empty() ? fallback : it->second;
}

std::string Armoured(std::string_view label, std::string_view body) {
  std::string text = "-----BEGIN ";
  text.append(label).append("-----\n").append(body).append("-----END ").append(label).append("-----\n");
  return text;
}

}  // namespace

NameParts ParseSubjectLine(std::string_view line) {
  NameParts parts;
  size_t pos = line.find('/');
  while (pos != std::string_view::npos) {
    size_t next = line.find('/', pos + 1);
    std::string_view part = line.substr(pos + 1, next == std::string_view::npos ? next : next - pos - 1);
    size_t equals = part.find('=');
    if (equals != std::string_view::npos) parts.emplace_back(part.substr(0, equals), part.substr(equals + 1));
    pos = next;
  }
  return parts;
}

std::string NameValue(const NameParts& parts, std::initializer_list<std::string_view> tags) {
  for (std::string_view tag : tags) {
    for (const auto& [name, value] : parts) {
      if (name == tag) return value;
    }
  }
  return {};
}

std::optional<Certificate> ParseCertificate(std::string_view text) {
  std::optional<Fields> fields = ReadFields(text, "FAKE CERTIFICATE");
  if (!fields || Field(*fields, "Subject").empty()) return std::nullopt;
  Certificate certificate;
  certificate.subject = Field(*fields, "Subject");
  certificate.publicKey = Field(*fields, "PublicKey");
  certificate.issuer = Field(*fields, "Issuer", certificate.subject);
  certificate.serial = Field(*fields, "Serial", SerialFor(certificate.subject, certificate.publicKey));
  certificate.notBefore = Field(*fields, "NotBefore", "01.01.2000 00:00:00");
  certificate.notAfter = Field(*fields, "NotAfter", "31.12.2099 23:59:59");
  certificate.sn = Field(*fields, "SN", SnForSerial(certificate.serial));
  return certificate;
}

std::optional<Request> ParseRequest(std::string_view text) {
  std::optional<Fields> fields = ReadFields(text, "FAKE CERTIFICATE REQUEST");
  if (!fields || Field(*fields, "Subject").empty()) return std::nullopt;
  return Request{Field(*fields, "Subject"), Field(*fields, "PublicKey")};
}

std::optional<KeyContainer> ParseKeyContainer(std::string_view text) {
  std::optional<Fields> fields = ReadFields(text, "FAKE KEY CONTAINER");
  if (!fields || Field(*fields, "PublicKey").empty()) return std::nullopt;
  return KeyContainer{Field(*fields, "Subject"), Field(*fields, "PublicKey")};
}

std::optional<std::string> ParseCrlIssuer(std::string_view text) {
  std::optional<Fields> fields = ReadFields(text, "FAKE CRL");
  if (!fields || Field(*fields, "Issuer").empty()) return std::nullopt;
  return Field(*fields, "Issuer");
}

std::string FormatCertificate(const Certificate& c) {
  return Armoured("CERTIFICATE", "FAKE CERTIFICATE\nSubject: " + c.subject + "\nIssuer: " + c.issuer + "\nSerial: " +
                                     c.serial + "\nNotBefore: " + c.notBefore + "\nNotAfter: " + c.notAfter +
                                     "\nSN: " + c.sn + "\nPublicKey: " + c.publicKey + "\n");
}

std::string FormatRequest(const Request& r) {
  return Armoured("CERTIFICATE REQUEST",
                  "FAKE CERTIFICATE REQUEST\nSubject: " + r.subject + "\nPublicKey: " + r.publicKey + "\n") +
         RequestDump(r);
}

std::string FormatKeyContainer(const KeyContainer& k) {
  return "FAKE KEY CONTAINER\nSubject: " + k.subject + "\nPublicKey: " + k.publicKey + "\n";
}

Signature SignatureFor(const Certificate& signer, std::string_view data) {
  Signature signature{signer.subject, signer.sn, signer.notBefore, signer.notAfter, {}};
  signature.sum = ExpectedSum(signature, data);
  return signature;
}

std::string ExpectedSum(const Signature& s, std::string_view data) {
  std::string bound(data);
  bound += "\n" + s.signer + "\n" + s.signerSn + "\n" + s.notBefore + "\n" + s.notAfter;
  return Checksum(bound);
}

std::string FormatSignature(const Signature& s) {
  return "FAKE SIGNATURE\nSigner: " + s.signer + "\nSignerSN: " + s.signerSn + "\nNotBefore: " + s.notBefore +
         "\nNotAfter: " + s.notAfter + "\nSum: " + s.sum + "\n";
}

std::optional<Signature> ParseSignature(std::string_view text) {
  std::optional<Fields> fields = ReadFields(text, "FAKE SIGNATURE");
  if (!fields || Field(*fields, "Sum").empty()) return std::nullopt;
  return Signature{Field(*fields, "Signer"), Field(*fields, "SignerSN"), Field(*fields, "NotBefore"),
                   Field(*fields, "NotAfter"), Field(*fields, "Sum")};
}

std::string Checksum(std::string_view data) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char byte : data) hash = (hash ^ byte) * 0x100000001b3ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string SerialFor(const std::string& subject, const std::string& publicKey) {
  std::string hex = Checksum(subject + "\n" + publicKey);
  std::string serial;
  for (size_t i = 0; i < hex.size(); i += 2) serial += (i ? ":" : "") + hex.substr(i, 2);
  return serial;
}

std::string SnForSerial(const std::string& serial) {
  std::string sn;
  for (char c : serial) {
    if (c != ':') sn += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return sn;
}

std::string NewPublicKey() {
  // Seeded on every call: a generator kept from call to call would hand a
  // forked child the same keys as its parent and its siblings.
  std::random_device device;
  std::mt19937_64 random{(static_cast<uint64_t>(device()) << 32) ^ device()};
  std::string key;
  for (int i = 0; i < 4; ++i) {
    char part[17];
    std::snprintf(part, sizeof part, "%016llx", static_cast<unsigned long long>(random()));
    key += part;
  }
  return key;
}

std::string DateText(int days) {
  std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + days * 86400;
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &when);
#else
  gmtime_r(&when, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year + 1900,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string SortableDate(const std::string& date) {
  if (date.size() != 19 || date[2] != '.' || date[5] != '.' || date[10] != ' ') return {};
  return date.substr(6, 4) + date.substr(3, 2) + date.substr(0, 2) + date.substr(11);
}

}  // namespace fake
