// Who is who for a context: its own certificate (parameter 0), the
// certificates it knows (loaded ones and the certificate directory,
// parameter 1), and the form in which it names a holder (subject line, or
// the module's SN when the UID field, parameter 19, is "SN").
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "contexts.h"
#include "records.h"

namespace fake {

std::optional<Certificate> ReadCertificateFile(const std::string& path);
std::optional<Certificate> OwnCertificate(const Context& context);
// The holder as this context names holders.
std::string IdentityOf(const Context& context, const Certificate& certificate);
// True when identity is the certificate's subject line or its SN.
bool Names(const Certificate& certificate, const std::string& identity);

struct FoundCertificate {
  Certificate certificate;
  std::string text;  // the file as stored (or as the module writes it, for a loaded one)
};
// Looks at the own certificate, the loaded ones, then the certificate directory.
std::optional<FoundCertificate> FindCertificate(const Context& context, const std::string& identity);

// Copies text into a buffer of capacity bytes, cut to fit, always terminated.
void CopyText(char* out, size_t capacity, const std::string& text);

}  // namespace fake
