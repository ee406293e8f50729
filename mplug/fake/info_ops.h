// Helpers shared by the certificate exports and the optional ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "contexts.h"

namespace fake {

// Parses length bytes at data with parse; nullopt for null data or a bad length.
template <class Record>
std::optional<Record> ParseBytes(const void* data, int32_t length, std::optional<Record> (*parse)(std::string_view)) {
  if (data == nullptr || length < 0) return std::nullopt;
  return parse(std::string_view(static_cast<const char*>(data), static_cast<size_t>(length)));
}

// Adds the certificate in the file to the context's loaded certificates.
int32_t LoadCertificateFile(Context& context, const char* fileName);

}  // namespace fake
