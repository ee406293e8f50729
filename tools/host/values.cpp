#include "values.h"

#include <cctype>
#include <sstream>

namespace cryptlib::host {
namespace {

constexpr int kMaxSerialBits = 62;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParsePositive(const std::string& text, int max, int& value) {
  if (text.empty() || text.size() > 9) return false;
  long long number = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > max) return false;
  value = static_cast<int>(number);
  return true;
}

bool ParseSerial(const std::string& text, long long& value) {
  std::string digits = text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0 ? text.substr(2) : text;
  // Colons only between pairs of digits, as reports print them.
  if (digits.find(':') != std::string::npos) {
    if ((digits.size() + 1) % 3 != 0) return false;
    std::string pairs;
    for (size_t i = 0; i < digits.size(); i += 3) {
      if (i + 2 > digits.size() || (i + 2 < digits.size() && digits[i + 2] != ':')) return false;
      pairs += digits.substr(i, 2);
    }
    digits = pairs;
  }
  if (digits.empty()) return false;
  unsigned long long number = 0;
  int bits = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    number = (number << 4) | static_cast<unsigned>(digit);
    if (number != 0) bits += 4;
    if (bits > kMaxSerialBits + 2) return false;
  }
  if (number >> kMaxSerialBits != 0) return false;
  value = static_cast<long long>(number);
  return true;
}

bool ParseSerialList(const std::string& text, std::vector<long long>& serials, std::string& bad) {
  std::stringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    long long serial = 0;
    if (!ParseSerial(item, serial)) {
      bad = item;
      return false;
    }
    serials.push_back(serial);
  }
  return true;
}

std::string SerialText(long long serial) {
  static const char kDigits[] = "0123456789abcdef";
  std::string digits;
  for (unsigned long long rest = static_cast<unsigned long long>(serial); rest != 0; rest >>= 4)
    digits.insert(digits.begin(), kDigits[rest & 15]);
  if (digits.size() % 2 != 0 || digits.empty()) digits.insert(0, "0");
  std::string pairs;
  for (size_t i = 0; i < digits.size(); i += 2) pairs += (i > 0 ? ":" : "") + digits.substr(i, 2);
  return pairs;
}

}  // namespace cryptlib::host
