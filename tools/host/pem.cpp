#include "pem.h"

#include <cstdint>

namespace cryptlib::host {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 64;

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string Base64(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
  }
  return text;
}

// Decodes base64 that may hold line breaks; padding only at the end.
bool Unbase64(const std::string& text, std::string& bytes) {
  uint32_t group = 0;
  int bits = 0;
  bool padded = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const int sextet = SextetOf(c);
    if (sextet < 0 || padded) return false;
    group = (group << 6) | static_cast<uint32_t>(sextet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((group >> bits) & 0xFF);
    }
  }
  return true;
}

}  // namespace

std::string PemEncode(const std::string& label, const std::string& der) {
  const std::string body = Base64(der);
  std::string pem = "-----BEGIN " + label + "-----\n";
  for (size_t i = 0; i < body.size(); i += kLineLength) pem += body.substr(i, kLineLength) + "\n";
  return pem + "-----END " + label + "-----\n";
}

bool LooksLikePem(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  return start != std::string::npos && text.compare(start, 11, "-----BEGIN ") == 0;
}

bool PemDecode(const std::string& text, std::string& der) {
  const size_t begin = text.find("-----BEGIN ");
  if (begin == std::string::npos) return false;
  const size_t bodyStart = text.find('\n', begin);
  const size_t end = text.find("-----END ", begin);
  if (bodyStart == std::string::npos || end == std::string::npos || end < bodyStart) return false;
  der.clear();
  return Unbase64(text.substr(bodyStart + 1, end - bodyStart - 1), der);
}

}  // namespace cryptlib::host
