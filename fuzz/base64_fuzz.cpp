// Base64 decoding of arbitrary text, and encoding of arbitrary bytes with the
// round trip checked.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/mimecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  auto length = static_cast<int32_t>(size);

  uint8_t* decoded = nullptr;
  int32_t decodedLength = 0;
  cryptlib::Base64Decode(reinterpret_cast<const char*>(data), length, decoded, decodedLength);
  if ((decoded == nullptr) != (decodedLength == 0)) std::abort();
  if (decodedLength > length / 4 * 3) std::abort();
  delete[] decoded;

  char* encoded = nullptr;
  int32_t encodedLength = 0;
  cryptlib::Base64Encode(data, length, encoded, encodedLength);
  if (size == 0) return 0;
  if (encodedLength != static_cast<int32_t>((size + 2) / 3 * 4)) std::abort();
  uint8_t* back = nullptr;
  int32_t backLength = 0;
  cryptlib::Base64Decode(encoded, encodedLength, back, backLength);
  if (backLength != length || std::memcmp(back, data, size) != 0) std::abort();
  delete[] back;
  delete[] encoded;
  return 0;
}
