#include "support/mimecode.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

namespace cryptlib {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// --- encoding ---

// Two output characters per 12 input bits: a whole group of three bytes is
// two table look-ups, with no branch per byte.
struct CharPair {
  char chars[2];
};

constexpr std::array<CharPair, 4096> MakeCharPairs() {
  std::array<CharPair, 4096> pairs{};
  for (size_t bits = 0; bits < pairs.size(); ++bits) {
    pairs[bits] = CharPair{{kAlphabet[bits >> 6], kAlphabet[bits & 63]}};
  }
  return pairs;
}

constexpr std::array<CharPair, 4096> kCharPairs = MakeCharPairs();

void EncodeWholeGroups(const uint8_t* in, size_t groups, char* out) {
  for (size_t i = 0; i < groups; ++i, in += 3, out += 4) {
    const uint32_t bits = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, kCharPairs[bits >> 12].chars, 2);
    std::memcpy(out + 2, kCharPairs[bits & 0xFFF].chars, 2);
  }
}

// A last group of one or two bytes: its last character is filled with zero
// bits on the right, and "=" pads the group to four characters.
void EncodeShortGroup(const uint8_t* in, size_t bytes, char* out) {
  const uint32_t first = in[0];
  const uint32_t second = bytes == 2 ? in[1] : 0;
  out[0] = kAlphabet[first >> 2];
  out[1] = kAlphabet[((first & 0x3) << 4) | (second >> 4)];
  out[2] = bytes == 2 ? kAlphabet[(second & 0xF) << 2] : kPad;
  out[3] = kPad;
}

// --- decoding ---

constexpr uint8_t kSkipped = 0x40;  // not in the alphabet: ignored
constexpr uint8_t kPadMark = 0x80;  // "=": the text ends here

constexpr std::array<uint8_t, 256> MakeValues() {
  std::array<uint8_t, 256> values{};
  values.fill(kSkipped);
  for (uint8_t value = 0; value < 64; ++value) values[static_cast<uint8_t>(kAlphabet[value])] = value;
  values[static_cast<uint8_t>(kPad)] = kPadMark;
  return values;
}

constexpr std::array<uint8_t, 256> kValues = MakeValues();

// Per position in a group of four characters, each character's six bits
// already shifted into place; anything outside the alphabet (the pad
// included) sets a bit no valid group reaches, so one test per group tells
// whether the fast path applies.
constexpr uint32_t kNotAlphabet = 1u << 24;

constexpr std::array<uint32_t, 256> MakeShiftedValues(int shift) {
  std::array<uint32_t, 256> shifted{};
  for (size_t c = 0; c < shifted.size(); ++c) {
    shifted[c] = kValues[c] < 64 ? uint32_t{kValues[c]} << shift : kNotAlphabet;
  }
  return shifted;
}

constexpr std::array<uint32_t, 256> kFirst = MakeShiftedValues(18);
constexpr std::array<uint32_t, 256> kSecond = MakeShiftedValues(12);
constexpr std::array<uint32_t, 256> kThird = MakeShiftedValues(6);
constexpr std::array<uint32_t, 256> kFourth = MakeShiftedValues(0);

// Writes the three bytes of a group (the low 24 bits of bits) with one
// four-byte store; the fourth byte is overwritten by the next group, so the
// caller keeps at least four bytes of room.
inline uint8_t* StoreGroup(uint8_t* out, uint32_t bits) {
  uint32_t bytes = bits << 8;  // the group's bytes first, most significant first
  if constexpr (std::endian::native == std::endian::little) bytes = __builtin_bswap32(bytes);
  std::memcpy(out, &bytes, 4);
  return out + 3;
}

// Decodes up to the first "=", skipping characters outside the alphabet. Each
// full 24 bits give three bytes; the rest gives (bits / 8) bytes after its
// lowest (bits % 8) bits are dropped, so 18 bits give two bytes, 12 one and 6
// none. out has room for capacity bytes, which no text exceeds (see
// ExpectedLength). Answers the number of bytes written.
size_t DecodeText(const uint8_t* in, const uint8_t* end, uint8_t* out, size_t capacity) {
  uint8_t* const first = out;
  uint8_t* const limit = out + capacity;
  uint32_t accumulator = 0;
  int bits = 0;
  while (in < end) {
    if (bits == 0) {
      // Fast path: four alphabet characters in a row.
      for (; end - in >= 4 && limit - out >= 4; in += 4) {
        const uint32_t group = kFirst[in[0]] | kSecond[in[1]] | kThird[in[2]] | kFourth[in[3]];
        if (group >= kNotAlphabet) break;
        out = StoreGroup(out, group);
      }
      if (in == end) break;
    }
    const uint8_t value = kValues[*in++];
    if (value == kPadMark) break;
    if (value == kSkipped) continue;
    accumulator = (accumulator << 6) | value;
    bits += 6;
    if (bits == 24) {
      for (int shift = 16; shift >= 0; shift -= 8) *out++ = static_cast<uint8_t>(accumulator >> shift);
      accumulator = 0;
      bits = 0;
    }
  }
  const int droppedBits = bits % 8;
  const int keptBits = bits - droppedBits;
  accumulator >>= droppedBits;
  for (int shift = keptBits - 8; shift >= 0; shift -= 8) *out++ = static_cast<uint8_t>(accumulator >> shift);
  return static_cast<size_t>(out - first);
}

// The decoded length of a text without skipped characters: three bytes per
// four characters, less one per trailing "=" (at most two). No text decodes
// to more, so a buffer of this size takes any result, and the usual text
// needs no second buffer of the exact size.
size_t ExpectedLength(const uint8_t* text, size_t length) {
  size_t pads = 0;
  while (pads < 2 && pads < length && text[length - 1 - pads] == static_cast<uint8_t>(kPad)) ++pads;
  return length / 4 * 3 - pads;
}

}  // namespace

void Base64Encode(const void* input, int32_t length, char*& output, int32_t& outputLength) {
  output = nullptr;
  outputLength = 0;
  if (input == nullptr || length <= 0) return;
  const int64_t textLength = (int64_t{length} + 2) / 3 * 4;
  // Inputs above about 1.5 GiB would give a text whose length does not fit
  // the 32-bit length: refuse them rather than write past the buffer.
  if (textLength > std::numeric_limits<int32_t>::max()) return;
  char* text = new (std::nothrow) char[textLength];
  if (text == nullptr) return;

  const auto* bytes = static_cast<const uint8_t*>(input);
  const size_t wholeGroups = static_cast<size_t>(length) / 3;
  EncodeWholeGroups(bytes, wholeGroups, text);
  const size_t rest = static_cast<size_t>(length) % 3;
  if (rest != 0) EncodeShortGroup(bytes + wholeGroups * 3, rest, text + wholeGroups * 4);

  output = text;
  outputLength = static_cast<int32_t>(textLength);
}

void Base64Decode(const char* input, int32_t length, uint8_t*& output, int32_t& outputLength) {
  output = nullptr;
  outputLength = 0;
  // Every character counts towards the multiple of four, also those skipped.
  if (input == nullptr || length <= 0 || length % 4 != 0) return;
  const auto* text = reinterpret_cast<const uint8_t*>(input);
  const size_t capacity = ExpectedLength(text, static_cast<size_t>(length));
  uint8_t* bytes = new (std::nothrow) uint8_t[capacity];
  if (bytes == nullptr) return;

  const size_t produced = DecodeText(text, text + length, bytes, capacity);
  if (produced == 0) {
    delete[] bytes;
    return;
  }
  // Skipped characters or an early "=" made the result shorter than its buffer.
  if (produced < capacity) {
    uint8_t* exact = new (std::nothrow) uint8_t[produced];
    if (exact != nullptr) std::memcpy(exact, bytes, produced);
    delete[] bytes;
    if (exact == nullptr) return;
    bytes = exact;
  }
  output = bytes;
  outputLength = static_cast<int32_t>(produced);
}

char Base64Char(uint8_t value) {
  return kAlphabet[value > 63 ? 63 : value];
}

uint8_t Base64Value(char c) {
  const uint8_t value = kValues[static_cast<uint8_t>(c)];
  return value < 64 ? value : 63;
}

}  // namespace cryptlib
