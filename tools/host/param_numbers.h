// The parameters the host tool and its demo set, by number as the engine
// counts them: the engine's own (1-3, 9, 11-16, 23) and the reference
// module's (4, 5, 7, 8, 25, 26).
#pragma once

#include <cstdint>

namespace cryptlib::host::param {

enum : int32_t {
  kOwnCertificate = 1,
  kCertificateDir = 2,
  kKeyDir = 3,
  kCipher = 4,
  kSignature = 5,
  kPrivateKeyFile = 7,
  kPinSource = 8,
  kRequestFile = 9,
  kCountry = 11,
  kOrganisation = 14,
  kCommonName = 16,
  kKeyMedia = 23,
  kCaDir = 25,
  kCrlDir = 26,
};

}  // namespace cryptlib::host::param
