// What the tool says when a command's keys stay closed for their
// passphrase: the reference module answers 2040 (the passphrase from the PIN
// source does not open the key container) or 2041 (the source gave none).
// The vendor code alone tells a user nothing about what to fix, so the
// message says what happened and which PIN source was asked.
#pragma once

#include <cstdint>
#include <string>

namespace cryptlib::host {

constexpr int32_t kWrongPassphrase = 2040;
constexpr int32_t kPassphraseUnavailable = 2041;
// The module's PIN source: vendor parameter 8.
constexpr int32_t kPinSourceParameter = 8;

bool IsPassphraseFailure(int32_t code);

// A sentence for a person; pinSource is the PIN source that was asked
// (empty: none was set).
std::string PassphraseFailureText(int32_t code, const std::string& pinSource);

}  // namespace cryptlib::host
