// The report parser over arbitrary certificate and request dumps: the
// property list always has its public key line, and the bounded copy into a
// host-sized buffer (separate, or the dump's own memory) never writes past it
// and always terminates.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/formats/cert_report.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The report a buffer of capacity bytes must hold: the list cut to fit.
std::string Cut(const std::string& report, size_t capacity) {
  return report.substr(0, capacity - 1);
}

void CheckSeparateBuffer(const uint8_t* data, size_t size, const std::string& expected) {
  // Capacities around the interesting sizes: one byte, the report itself, and
  // a size chosen by the input.
  const size_t chosen = size > 0 ? data[0] * 16 + 1 : 1;
  for (const size_t capacity : {size_t{1}, expected.size(), expected.size() + 1, chosen}) {
    if (capacity == 0) continue;
    // Exactly capacity bytes on the heap: a write past them is reported.
    const std::unique_ptr<char[]> report(new char[capacity]);
    Require(cryptlib::GetReportByBuffer(reinterpret_cast<const char*>(data), static_cast<int32_t>(size), report.get(),
                                        static_cast<int32_t>(capacity)) == 0);
    Require(std::string(report.get()) == Cut(expected, capacity));
  }
}

void CheckInPlace(const uint8_t* data, size_t size, const std::string& expected) {
  const std::unique_ptr<char[]> buffer(new char[size]);
  std::memcpy(buffer.get(), data, size);
  const auto capacity = static_cast<int32_t>(size);
  Require(cryptlib::GetReportByBuffer(buffer.get(), capacity, buffer.get(), capacity) == 0);
  Require(std::string(buffer.get()) == Cut(expected, size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 16)) return 0;
  // The dump is read up to its first zero, never past the given size.
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::string dump(reinterpret_cast<const char*>(data), zero != nullptr ? zero - data : size);
  const std::string report = cryptlib::ReportFromDump(dump);
  Require(report.find("PKey=\r\n") != std::string::npos);
  Require(report.size() >= 2 && report.compare(report.size() - 2, 2, "\r\n") == 0);

  CheckSeparateBuffer(data, size, report);
  CheckInPlace(data, size, report);
  Require(cryptlib::GetReportByBuffer(nullptr, 1, nullptr, 1) == -101);
  return 0;
}
