// Whole-file reads and writes of the tool: data, signatures, transfers and
// profiles are small enough to hold in memory.
#pragma once

#include <string>

namespace cryptlib::host {

// The file's bytes; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);
// Creates or replaces the file; false when it cannot be written.
bool WriteWholeFile(const std::string& path, const std::string& contents);

}  // namespace cryptlib::host
