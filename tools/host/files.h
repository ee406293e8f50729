// Whole-file reads and writes of the tool. "-" is standard input or output.
// The engine takes lengths in 32 bits, so inputs are bounded before
// anything is read, and outputs appear whole or not at all.
#pragma once

#include <cstdint>
#include <string>

namespace cryptlib::host {

// The largest buffer the engine's signed 32-bit lengths can describe.
constexpr uint64_t kMaxEngineLength = 0x7FFFFFFF;

// The file's bytes; false with the reason (the system's, or the size) when
// it cannot be read, is a directory or holds more than limit bytes.
bool ReadWholeFile(const std::string& path, std::string& contents, std::string& reason,
                   uint64_t limit = kMaxEngineLength);
// Writes the file through a temporary beside it that is renamed over the
// target; an existing file is replaced only with replace. False with the reason.
bool WriteWholeFile(const std::string& path, const std::string& contents, std::string& reason, bool replace = true);

// The same where the reason does not matter.
bool ReadWholeFile(const std::string& path, std::string& contents);
bool WriteWholeFile(const std::string& path, const std::string& contents);

}  // namespace cryptlib::host
