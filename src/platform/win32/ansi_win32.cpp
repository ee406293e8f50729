#include <climits>

#include "platform/win32/win32_internal.h"

namespace cryptlib::platform {

// The host's 8-bit strings are in the ANSI code page of the process; the
// system converts them. Embedded NULs are kept (the length is explicit).
std::u16string AnsiToUtf16(const std::string& text) {
  // The system counts in int; a host string never comes near that.
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::u16string();
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), needed);
  return std::u16string(wide.begin(), wide.end());
}

}  // namespace cryptlib::platform
