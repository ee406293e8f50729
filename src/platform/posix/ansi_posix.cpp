#include "platform/platform.h"

namespace cryptlib::platform {

// POSIX has no ANSI code page: each byte is taken as the Latin-1 character of
// the same value, which keeps every byte and its order.
std::u16string AnsiToUtf16(const std::string& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back(static_cast<char16_t>(c));
  return wide;
}

}  // namespace cryptlib::platform
