// The key=value lines of certificate and request reports, built from the
// records the vendor module fills. Lines end with CR LF.
#pragma once

#include <string>

#include "mplug.h"

namespace cryptlib {

// One line per set field, in the order CN, C, S, L, O, OU, E, T: prefix, tag
// ("CN="...), value. Null and empty fields are left out.
std::string NameLines(const MPlugNameRecord& name, const std::string& prefix);
// The module's "DD.MM.YYYY hh:mm:ss" as "DD-MM-YY hh:mm:ss": every "." becomes
// "-" and the 7th and 8th characters (the century) go.
std::string FormatVendorDate(const char* text);
// "PKeyAlg=<algorithm>" from a leading "Public Key Algorithm: " line, then
// "PKey=" and the rest of the description with its indentation removed.
// Empty for an empty description.
std::string PublicKeyLines(const char* description);

std::string CertInfoLines(const MPlugCertInfo& info);
std::string RequestInfoLines(const MPlugReqInfo& info);

}  // namespace cryptlib
