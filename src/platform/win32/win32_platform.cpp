// The Win32 implementation of the platform layer: the system's object, the
// environment, clocks and threads, and the fixed facts of the platform. Files
// are in win32_files.cpp, modules in win32_modules.cpp.
#include <new>

#include "platform/date_time.h"
#include "platform/platform_internal.h"
#include "platform/win32/win32_internal.h"

namespace cryptlib::platform {

namespace win32 {

namespace {

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string WithBackslashes(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string message = length > 0 && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  const std::string number = "error " + std::to_string(code);
  return message.empty() ? number : message + " (" + number + ")";
}

double DateTimeFromSystemTime(const SYSTEMTIME& time) {
  CivilDateTime civil;
  civil.year = time.wYear;
  civil.month = time.wMonth;
  civil.day = time.wDay;
  civil.hour = time.wHour;
  civil.minute = time.wMinute;
  civil.second = time.wSecond;
  civil.millisecond = time.wMilliseconds;
  return EncodeDateTime(civil);
}

// --- environment ---

bool Win32Platform::GetEnvironment(const std::string& name, std::string& value) {
  std::string buffer(256, '\0');
  for (;;) {
    // An empty value also answers 0; only the error code tells it from an
    // absent variable.
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value.clear();
      return true;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      value.swap(buffer);
      return true;
    }
    buffer.resize(length);  // the answer was the size needed, with its NUL
  }
}

bool Win32Platform::SetEnvironment(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) return false;
  return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

// --- time ---

uint64_t Win32Platform::MonotonicMilliseconds() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER counter;
  if (frequency == 0 || !QueryPerformanceCounter(&counter)) return GetTickCount64();
  const auto ticks = static_cast<uint64_t>(counter.QuadPart);
  // Split so that ticks * 1000 cannot overflow.
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

double Win32Platform::LocalDateTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return DateTimeFromSystemTime(now);
}

}  // namespace win32

// Created on first use in static storage and never destroyed, so that static
// destructors elsewhere may still use the platform. The object has no state.
Platform& detail::SystemPlatformInstance() {
  alignas(win32::Win32Platform) static unsigned char storage[sizeof(win32::Win32Platform)];
  static win32::Win32Platform* const platform = new (storage) win32::Win32Platform();
  return *platform;
}

// --- facts of the platform ---

std::string ModuleFileNameFor(const std::string& name) {
  return name;
}

const char* SearchPathVariable() {
  return "Path";
}

char SearchPathSeparator() {
  return ';';
}

std::string NativePath(const std::string& path) {
  return path;
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

bool ProcessIsRunning(uint32_t processId) {
  if (processId == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  // Refused access means the process exists; an unknown identity is gone.
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  // A process that has ended but is still referenced is signalled.
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

void YieldThread() {
  SwitchToThread();
}

}  // namespace cryptlib::platform
