// Certificate and request reports: the property list the host shows for a
// certificate, derived from the module's text dump of it (the layout of
// "openssl x509 -text -noout -nameopt compat" and "openssl req -text -noout
// -nameopt compat").
//
// The list holds one "key=value" line per property, each ended by CR LF, in
// this order: SN; ICN, IC, IS, IL, IO, IOU, IE (issuer); NotBefore, NotAfter
// (as DD-MM-YY HH:MM:SS); CN, C, S, L, O, OU, E (subject); PKeyAlg; and PKey,
// whose value follows on the next lines. A property the dump lacks is left
// out, except PKey, which is always there.
#pragma once

#include <cstdint>
#include <string>

namespace cryptlib {

// The property list of a dump. Line ends may be LF or CR LF; an issuer or
// subject may be written on one line ("C=RU, O=Bank, CN=Alice") or as one
// field per line. Raises only when memory runs out.
std::string ReportFromDump(const std::string& dump);

// Copies report into a buffer of capacity bytes: at most capacity - 1
// characters, then a zero. False, nothing written, for a null buffer or a
// capacity below 1.
bool CopyReport(const std::string& report, char* buffer, int32_t capacity);

// Turns the dump in dump (read up to its zero, never past dumpCapacity bytes)
// into its property list in report, never writing past reportSize bytes; dump
// and report may be the same memory. 0, or -101 for a null pointer or a size
// below 1. Raises only when memory runs out (the engine records that as -102).
int32_t GetReportByBuffer(const char* dump, int32_t dumpCapacity, char* report, int32_t reportSize);

}  // namespace cryptlib
