// The file arguments of commands: their count, reading inputs and writing
// outputs, each failure reported in the command's output.
#pragma once

#include <string>

#include "options.h"
#include "output.h"

namespace cryptlib::host {

// At least count positional arguments after the command's words
// (wordCount: 1 for "encrypt", 2 for "bank issue"); else the usage.
bool NeedArguments(const Options& options, size_t wordCount, size_t count, const std::string& usage, Output& out,
                   int& exitCode);
bool ReadInput(const std::string& path, std::string& contents, Output& out, int& exitCode);
// Writes the output and reports its path and size.
int WriteOutput(const std::string& path, const std::string& contents, Output& out);

}  // namespace cryptlib::host
