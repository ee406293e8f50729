// PEM: DER bytes as base64 in lines of 64 between "-----BEGIN <label>-----"
// and "-----END <label>-----", the form openssl writes with -outform PEM.
#pragma once

#include <string>

namespace cryptlib::host {

std::string PemEncode(const std::string& label, const std::string& der);
// Whether text starts (after white space) with a PEM BEGIN line.
bool LooksLikePem(const std::string& text);
// The DER bytes of the first PEM block; false when the block is malformed.
bool PemDecode(const std::string& text, std::string& der);

}  // namespace cryptlib::host
