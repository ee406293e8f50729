// Base64 (RFC 4648 section 4 alphabet) over whole memory buffers.
#pragma once

#include <cstdint>

namespace cryptlib {

// Both operations allocate the output with new[] (release with delete[]) and
// never raise: a failure answers nullptr and length 0.
// Encoded text has no line breaks and no terminator.
void Base64Encode(const void* input, int32_t length, char*& output, int32_t& outputLength);
// Decoding needs a length that is a multiple of 4, stops at the first "=",
// skips every character outside the alphabet and fails when no byte results.
void Base64Decode(const char* input, int32_t length, uint8_t*& output, int32_t& outputLength);
// The alphabet character of a 6-bit value; values above 62 give "/".
char Base64Char(uint8_t value);
// The 6-bit value of a character; characters outside the alphabet give 63.
uint8_t Base64Value(char c);

}  // namespace cryptlib
