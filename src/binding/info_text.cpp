#include "binding/info_text.h"
#include "support/strutil.h"

#include <utility>

namespace cryptlib {
namespace {

const char kLineEnd[] = "\r\n";
const char kAlgorithmMarker[] = "Public Key Algorithm: ";
const std::string kIndent(8, ' ');

std::string TextOf(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

std::string NameLines(const MPlugNameRecord& name, const std::string& prefix) {
  const std::pair<const char*, const char*> fields[] = {
      {"CN=", name.commonName}, {"C=", name.country},      {"S=", name.state},
      {"L=", name.locality},    {"O=", name.organisation}, {"OU=", name.organisationalUnit},
      {"E=", name.email},       {"T=", name.title},
  };
  std::string lines;
  for (const auto& [tag, value] : fields) {
    if (value == nullptr || *value == '\0') continue;
    lines += prefix + tag + value + kLineEnd;
  }
  return lines;
}

std::string FormatVendorDate(const char* text) {
  std::string date = TextOf(text);
  ReplaceAll(date, ".", "-");
  if (date.size() > 6) date.erase(6, 2);
  return date;
}

std::string PublicKeyLines(const char* description) {
  std::string text = TextOf(description);
  if (text.empty()) return std::string();
  std::string lines;
  const size_t marker = text.find(kAlgorithmMarker);
  const size_t lineFeed = text.find('\n');
  const size_t markerEnd = marker + sizeof(kAlgorithmMarker) - 1;
  if (marker != std::string::npos && lineFeed != std::string::npos && marker < lineFeed)
    lines = "PKeyAlg=" + text.substr(markerEnd, lineFeed > markerEnd ? lineFeed - markerEnd : 0) + kLineEnd;
  // The algorithm line is dropped unless it is all there is.
  if (lineFeed != std::string::npos && lineFeed + 1 < text.size()) text.erase(0, lineFeed + 1);
  ReplaceAll(text, kIndent, "");
  text = Trim(text);
  ReplaceAll(text, "\n", kLineEnd);
  return lines + "PKey=" + kLineEnd + text + kLineEnd + kLineEnd;
}

std::string CertInfoLines(const MPlugCertInfo& info) {
  return "SN=" + TextOf(info.serialNumber) + kLineEnd + NameLines(info.issuer, "I") + NameLines(info.subject, "") +
         "NotBefore=" + FormatVendorDate(info.validFrom) + kLineEnd + "NotAfter=" + FormatVendorDate(info.validTo) +
         kLineEnd + PublicKeyLines(info.publicKey);
}

std::string RequestInfoLines(const MPlugReqInfo& info) {
  return NameLines(info.subject, "") + PublicKeyLines(info.publicKey);
}

}  // namespace cryptlib
