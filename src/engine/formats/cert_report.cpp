#include "engine/formats/cert_report.h"

#include <algorithm>
#include <cstring>

#include "cryptlib.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

const std::string kCrLf = "\r\n";
// A dump's block labels are indented by eight spaces, the key lines of a
// modulus by twenty and of other keys by sixteen.
const std::string kIssuerEnd = kCrLf + std::string(8, ' ') + "Validity";
const std::string kSubjectEnd = kCrLf + std::string(8, ' ') + "Subject Public Key Info:";
const std::string kExponent = std::string(16, ' ') + "Exponent:";
const std::string kExtensions = std::string(8, ' ') + "X509v3 extensions";
const std::string kAttributes = std::string(8, ' ') + "Attributes:";
const std::string kGostKeyLabel = "R3410 Public Key:";
const std::string kKeyLabel = "Public Key:";
// The compat name form glues the e-mail to the field before it:
// "CN=Alice/emailAddress=alice@bank.example".
const std::string kEmbeddedEmail = "/emailAddress=";

struct NameField {
  const char* key;
  const char* tags[3];  // the first one present counts; unused ones are null
};

const NameField kNameFields[] = {
    {"CN=", {"CN="}}, {"C=", {"C="}},   {"S=", {"S=", "SP=", "ST="}},    {"L=", {"L="}},
    {"O=", {"O="}},   {"OU=", {"OU="}}, {"E=", {"E=", "emailAddress="}},
};

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string WithoutRuns(std::string text, size_t spaces) {
  ReplaceAll(text, std::string(spaces, ' '), "");
  return text;
}

std::string WithCrLf(const std::string& text) {
  if (text.find(kCrLf) != std::string::npos) return text;
  std::string converted;
  converted.reserve(text.size() + text.size() / 32);
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

std::string Line(const std::string& key, const std::string& value) {
  return key + value + kCrLf;
}

// The line of text from..CR LF; false when no CR LF follows.
bool LineAt(const std::string& text, size_t from, std::string& line) {
  const size_t end = text.find(kCrLf, from);
  if (end == std::string::npos) return false;
  line = text.substr(from, end - from);
  return true;
}

// The serial stands on the label's own line when it is short ("Serial Number:
// 4660 (0x1234)") and on the next line otherwise.
std::string SerialLine(const std::string& text) {
  const std::string label = "Serial Number:";
  const size_t at = text.find(label);
  std::string line;
  if (at == std::string::npos || !LineAt(text, at + label.size(), line)) return std::string();
  std::string serial = Trim(line);
  if (serial.empty()) {
    const size_t nextLine = text.find(kCrLf, at) + kCrLf.size();
    if (!LineAt(text, nextLine, line)) return std::string();
    serial = Trim(line);
  }
  return Line("SN=", serial);
}

bool FieldValue(const std::string& block, const NameField& field, const std::string& separator, std::string& value) {
  for (const char* tag : field.tags) {
    if (tag == nullptr) break;
    const size_t at = block.find(tag);
    if (at == std::string::npos) continue;
    const size_t from = at + std::strlen(tag);
    // The block ends with the separator, so every field has an end.
    value = block.substr(from, block.find(separator, from) - from);
    return true;
  }
  return false;
}

// The fields of an issuer or subject block, each key prefixed with prefix.
std::string NameLines(std::string block, const std::string& prefix) {
  const std::string separator = block.find(kCrLf) != std::string::npos ? kCrLf : ", ";
  ReplaceAll(block, kEmbeddedEmail, separator + kEmbeddedEmail.substr(1));
  block += separator;
  std::string lines;
  for (const NameField& field : kNameFields) {
    std::string value;
    if (FieldValue(block, field, separator, value)) lines += Line(prefix + field.key, value);
  }
  return lines;
}

std::string NameBlockLines(const std::string& text, const std::string& label, const std::string& end,
                           const std::string& prefix) {
  std::string block;
  return ExtractBetween(text, label, end, block, false) ? NameLines(block, prefix) : std::string();
}

std::string LineBetween(const std::string& text, const std::string& key, const std::string& label) {
  std::string value;
  return ExtractBetween(text, label, kCrLf, value, false) ? Line(key, value) : std::string();
}

std::string DateLine(const std::string& text, const std::string& key, const std::string& label) {
  std::string value;
  return ExtractBetween(text, label, kCrLf, value, false) ? Line(key, ConvertCertDate(value)) : std::string();
}

// Without a key label the text is taken from its 11th character, where the
// label's end would be had it stood at the start.
std::string TextAfterKeyLabel(const std::string& text) {
  const size_t label = text.find(kKeyLabel);
  size_t from = label == std::string::npos ? kKeyLabel.size() - 1 : label + kKeyLabel.size();
  if (from > text.size()) from = text.size();
  std::string rest = text.substr(from);
  const size_t lineEnd = rest.find(kCrLf);
  if (lineEnd != std::string::npos) rest.erase(0, lineEnd + kCrLf.size());
  return rest;
}

std::string PublicKeyText(const std::string& text) {
  std::string value;
  if (ExtractBetween(text, "Modulus:", kExponent, value, true)) return WithoutRuns(value, 20);
  if (ExtractBetween(text, kGostKeyLabel, kExtensions, value, true) ||
      ExtractBetween(text, kGostKeyLabel, kAttributes, value, true))
    return WithoutRuns(WithoutRuns(value, 20), 16);
  return WithoutRuns(WithoutRuns(TextAfterKeyLabel(text), 20), 16);
}

}  // namespace

std::string ReportFromDump(const std::string& dump) {
  const std::string text = WithCrLf(dump);
  return SerialLine(text) + NameBlockLines(text, "Issuer: ", kIssuerEnd, "I") +
         DateLine(text, "NotBefore=", "Not Before: ") + DateLine(text, "NotAfter=", "Not After : ") +
         NameBlockLines(text, "Subject: ", kSubjectEnd, "") + LineBetween(text, "PKeyAlg=", "Public Key Algorithm: ") +
         Line("PKey=", "") + PublicKeyText(text) + kCrLf;
}

bool CopyReport(const std::string& report, char* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity < 1) return false;
  const size_t length = std::min(report.size(), static_cast<size_t>(capacity) - 1);
  std::memcpy(buffer, report.data(), length);
  buffer[length] = '\0';
  return true;
}

int32_t GetReportByBuffer(const char* dump, int32_t dumpCapacity, char* report, int32_t reportSize) {
  constexpr int32_t kBadArgument = CE_BAD_ARGUMENT;
  if (dump == nullptr || report == nullptr || dumpCapacity < 1 || reportSize < 1) return kBadArgument;
  // The dump is copied out first: report may be the dump's own memory.
  const auto* zero = static_cast<const char*>(std::memchr(dump, '\0', static_cast<size_t>(dumpCapacity)));
  const std::string text(dump, zero != nullptr ? static_cast<size_t>(zero - dump) : static_cast<size_t>(dumpCapacity));
  CopyReport(ReportFromDump(text), report, reportSize);
  return 0;
}

}  // namespace cryptlib
