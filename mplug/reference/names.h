// Distinguished names and holder identifiers.
//
// Subject line: "/C=RU/O=Bank/CN=Alice", the entries in certificate order, each
// as "/" tag "=" value with the value in UTF-8. Tags are the short names the
// engine reads: C, ST, L, O, OU, CN, E (e-mail), T (title); other attributes
// use OpenSSL's short name or their dotted number. Inside a value "%", "/"
// and "\" are written %25, %2F and %5C, so a value can neither forge an
// attribute nor name a directory.
//
// Serial identifier (the UID when the UID field is "SN"): the certificate's
// serial number in upper-case hexadecimal without separators or leading zeros
// ("0" for zero), e.g. "1A2B3C".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ossl.h"

namespace ref {

std::string SubjectLine(const X509_NAME* name);
std::string SerialIdentifier(const X509* certificate);
// The serial as OpenSSL dumps long serials: lower-case hex pairs joined by ":".
std::string SerialText(const X509* certificate);

// The UTF-8 value of the first entry of nid, empty when absent.
std::string NameEntry(const X509_NAME* name, int nid);

// "C=RU, O=Bank, CN=Alice": the names of OpenSSL's compatible print form.
std::string CompatName(const X509_NAME* name);

// A name from (nid, value) pairs in order; empty values are left out.
X509NamePtr BuildName(const std::vector<std::pair<int, std::string>>& entries);

}  // namespace ref
