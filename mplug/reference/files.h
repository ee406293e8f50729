// Files as the engine names them: Windows-style paths ("\" or "/", letter case
// ignored for existing components, "X:" through CRYPTLIB_DRIVE_X), whole-file
// reads, and writes that give private material to the owner only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "module.h"

namespace ref {

// The native path, existing components matched without regard to case (the
// exact spelling first, else the smallest match). nullopt for an empty path or
// an unmapped drive.
std::optional<std::string> NativePath(const std::string& path);

// NativePath or a Failure with the given code naming the path.
std::string RequirePath(const std::string& path, int code);

// How much a read of a file the host names may take. A certificate fits the
// buffer the engine gives it (GetMaxCertificateLength + GetMaxCertInfoLength);
// a revocation list of a large bank runs to a few MiB.
constexpr size_t kMaxCertificateFileBytes = static_cast<size_t>(kMaxCertificateLength + kMaxCertInfoLength);
constexpr size_t kMaxCrlFileBytes = 8u << 20;
constexpr size_t kMaxDataFileBytes = 0x7FFFFFFF;  // what an int32_t length can describe

// The whole contents of a regular file of at most maxBytes bytes; nullopt for
// anything else (missing, a directory, a FIFO or device, too large), with the
// cause in *reason when given. A FIFO is never waited on.
std::optional<std::string> ReadWholeFile(const std::string& nativePath, size_t maxBytes = kMaxDataFileBytes,
                                         std::string* reason = nullptr);
bool IsDirectory(const std::string& nativePath);
bool IsRegularFile(const std::string& nativePath);

// The regular files directly in a directory, sorted by name; empty when the
// directory is missing.
std::vector<std::string> FilesIn(const std::string& nativeDirectory);

enum class Visibility { kOwnerOnly, kPublic };

// Replaces the file as a whole (file_writes.h): a new file of mode 0600 for
// kOwnerOnly, 0644 otherwise, written under a temporary name, synced and
// renamed in; the directory is synced. Fails with kErrWriteFile, leaving the
// old file as it was and no temporary behind.
void WriteWholeFile(const std::string& nativePath, const std::string& contents, Visibility visibility);

// Creates the directory and its missing parents (0700), each synced into its
// parent. Fails with kErrWriteFile.
void MakeDirectories(const std::string& nativeDirectory);

}  // namespace ref
