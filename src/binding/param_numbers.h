// The engine's parameters by number (1-based, as the host numbers them): the
// one home of these numbers. A vendor snapshot holds parameter n at index
// n - 1 (SnapshotIndex), which is also the index the module is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/param_snapshot.h"

namespace cryptlib::param {

constexpr int32_t kOwnCertificate = 1;
constexpr int32_t kCertificateDirectory = 2;
constexpr int32_t kKeyDirectory = 3;
constexpr int32_t kRequestFile = 9;
// The recipients EncodeData adds when the host names none.
constexpr int32_t kDefaultRecipients = 19;
// The subject of a certificate request.
constexpr int32_t kCountry = 11;
constexpr int32_t kState = 12;
constexpr int32_t kLocality = 13;
constexpr int32_t kOrganisation = 14;
constexpr int32_t kUnit = 15;
constexpr int32_t kCommonName = 16;
constexpr int32_t kEmail = 17;
constexpr int32_t kUIDField = 20;
constexpr int32_t kFlag = 21;
// A cached context's lifetime in seconds.
constexpr int32_t kLifetime = 22;
constexpr int32_t kKeyMedia = 23;
// Only modules with at least 24 parameters know the title.
constexpr int32_t kTitle = 24;

constexpr size_t SnapshotIndex(int32_t number) {
  return static_cast<size_t>(number - 1);
}

// Parameter number in a snapshot; nullptr when the module has fewer.
inline std::string* InSnapshot(ParamSnapshot& snapshot, int32_t number) {
  const size_t index = SnapshotIndex(number);
  return index < snapshot.size() ? &snapshot[index] : nullptr;
}

}  // namespace cryptlib::param
