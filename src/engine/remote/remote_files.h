// The files of remote key replacement in the remote generation directory,
// and the key media a generation uses when none is set.
#pragma once

namespace cryptlib::remote {

// A copy of the user's current certificate, made by the first step.
inline constexpr const char* kSelfCertificate = "self.pem";
// The fingerprint of the key container on the media when the start began.
inline constexpr const char* kFingerprintFile = "backup.key";
// First the request for the new key, later the bank's certificate for it.
inline constexpr const char* kRequestFile = "Tmp_cert.pem";
// The key media when parameter 23 is empty.
inline constexpr const char* kDefaultKeyMedia = "A:\\";

}  // namespace cryptlib::remote
