#include "identities.h"

#include <cstring>

#include "fake_module.h"
#include "paths.h"

namespace fake {

std::optional<Certificate> ReadCertificateFile(const std::string& path) {
  std::string text;
  if (path.empty() || !ReadWholeFile(path, text)) return std::nullopt;
  return ParseCertificate(text);
}

std::optional<Certificate> OwnCertificate(const Context& context) {
  return ReadCertificateFile(context.Param(kParamOwnCertificate));
}

std::string IdentityOf(const Context& context, const Certificate& certificate) {
  return context.UsesSn() ? certificate.sn : certificate.subject;
}

bool Names(const Certificate& certificate, const std::string& identity) {
  return !identity.empty() && (certificate.subject == identity || certificate.sn == identity);
}

std::optional<FoundCertificate> FindCertificate(const Context& context, const std::string& identity) {
  std::string text;
  std::string own = context.Param(kParamOwnCertificate);
  if (!own.empty() && ReadWholeFile(own, text)) {
    std::optional<Certificate> certificate = ParseCertificate(text);
    if (certificate && Names(*certificate, identity)) return FoundCertificate{*certificate, text};
  }
  for (const Certificate& loaded : context.LoadedCertificates()) {
    if (Names(loaded, identity)) return FoundCertificate{loaded, FormatCertificate(loaded)};
  }
  std::string directory = context.Param(kParamCertificateDir);
  if (directory.empty()) return std::nullopt;
  for (const std::string& file : ListFiles(directory, {".pem", ".cer"})) {
    if (!ReadWholeFile(file, text)) continue;
    std::optional<Certificate> certificate = ParseCertificate(text);
    if (certificate && Names(*certificate, identity)) return FoundCertificate{*certificate, text};
  }
  return std::nullopt;
}

void CopyText(char* out, size_t capacity, const std::string& text) {
  if (out == nullptr || capacity == 0) return;
  size_t count = text.size() < capacity ? text.size() : capacity - 1;
  std::memcpy(out, text.data(), count);
  out[count] = '\0';
}

}  // namespace fake
