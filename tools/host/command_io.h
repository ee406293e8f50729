// The file arguments of commands: reading inputs and writing outputs, each
// failure reported in the command's output with the system's reason.
#pragma once

#include <string>

#include "options.h"
#include "output.h"

namespace cryptlib::host {

// At least count positional arguments after the command's words
// (wordCount: 1 for "encrypt", 2 for "bank issue"); else the usage. The
// parser checks this first; commands called from elsewhere rely on it.
bool NeedArguments(const Options& options, size_t wordCount, size_t count, const std::string& usage, Output& out,
                   int& exitCode);
// Reads the input ("-": standard input); exit status 2 when it cannot.
bool ReadInput(const std::string& path, std::string& contents, Output& out, int& exitCode);
// As ReadInput, and PEM (what openssl writes with -outform PEM) is turned
// into its DER bytes.
bool ReadData(const std::string& path, std::string& contents, Output& out, int& exitCode);
// Whether the output may be written: it does not exist, or --force is
// given; else exit status 2. For outputs written by others (the bank's files).
bool OutputFree(const Options& options, const std::string& path, Output& out, int& exitCode);
// Writes the output ("-": standard output, the results then go to standard
// error) and reports its path and size. An existing file is replaced only
// with --force; with --pem and a pemLabel the bytes are written as PEM.
int WriteOutput(const Options& options, const std::string& path, const std::string& contents, Output& out,
                const char* pemLabel = nullptr);

}  // namespace cryptlib::host
