// The module's file formats: certificates, certificate requests, revocation
// lists and key containers are small text files of "Key: value" lines after a
// title line (docs/fake-module.md), wrapped in PEM-style armour so that the
// engine tells requests from certificates the way it does for real files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fake {

// A subject line "/C=RU/O=Bank/CN=Alice" as its (tag, value) pairs in order.
using NameParts = std::vector<std::pair<std::string, std::string>>;
NameParts ParseSubjectLine(std::string_view line);
// The value of the first tag among `tags`, empty when none is present.
std::string NameValue(const NameParts& parts, std::initializer_list<std::string_view> tags);

struct Certificate {
  std::string subject;    // subject line
  std::string issuer;     // subject line of the issuer
  std::string serial;     // "0a:1b:..." as the dumps print it
  std::string notBefore;  // "DD.MM.YYYY hh:mm:ss", UTC
  std::string notAfter;
  std::string sn;         // the module's own identifier of the holder
  std::string publicKey;  // hex
};

struct Request {
  std::string subject;
  std::string publicKey;
};

struct KeyContainer {
  std::string subject;
  std::string publicKey;
};

// Missing optional fields get defaults (issuer = subject, a serial and SN
// derived from subject and key, validity 2000 to 2099); a missing subject
// makes the text no certificate.
std::optional<Certificate> ParseCertificate(std::string_view text);
std::optional<Request> ParseRequest(std::string_view text);
std::optional<KeyContainer> ParseKeyContainer(std::string_view text);
// The issuer of a revocation list; nullopt when the text is none.
std::optional<std::string> ParseCrlIssuer(std::string_view text);

std::string FormatCertificate(const Certificate& certificate);
// The request's armour followed by a readable dump, as "openssl req -text"
// writes one, so that a report can be made from the file text alone.
std::string FormatRequest(const Request& request);
std::string FormatKeyContainer(const KeyContainer& container);

// A signature: who signed, the validity of the signer's certificate at the
// time, and a checksum binding both to the data.
struct Signature {
  std::string signer;  // subject line
  std::string signerSn;
  std::string notBefore;
  std::string notAfter;
  std::string sum;
};
Signature SignatureFor(const Certificate& signer, std::string_view data);
// The checksum the signature should carry for data.
std::string ExpectedSum(const Signature& signature, std::string_view data);
std::string FormatSignature(const Signature& signature);
std::optional<Signature> ParseSignature(std::string_view text);

// Certificate fields derived from what it certifies.
std::string SerialFor(const std::string& subject, const std::string& publicKey);
std::string SnForSerial(const std::string& serial);

// 64-bit FNV-1a, the module's checksum, as 16 hex digits.
std::string Checksum(std::string_view data);
std::string NewPublicKey();

// "DD.MM.YYYY hh:mm:ss" of now (UTC) shifted by `days`.
std::string DateText(int days);
// A key that sorts like the date; empty for a malformed text.
std::string SortableDate(const std::string& date);

}  // namespace fake
