// Random holder UIDs for the property tests: 1 to 120 bytes of Latin and
// Cyrillic letters, digits, inner spaces and punctuation a file name allows,
// now and then a letter-case variant or a long shared beginning of an earlier
// UID. Also the two ways the engine sees a UID besides its full spelling: cut
// to the host's 40-byte buffer and folded to one letter case.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace cryptlib::test {

// What a host's 40-byte UID buffer holds, without its terminating zero.
constexpr size_t kHostUidRoom = 39;

// The engine's file lookup ignores the case of ASCII letters.
inline std::string FoldUid(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// What the host's 40-byte buffer holds of uid: never half a UTF-8 character.
inline std::string HostCut(const std::string& uid) {
  if (uid.size() <= kHostUidRoom) return uid;
  size_t count = kHostUidRoom;
  while (count > 0 && (static_cast<unsigned char>(uid[count]) & 0xC0) == 0x80) --count;
  return uid.substr(0, count);
}

// Characters, not bytes: a Cyrillic letter takes two bytes.
inline size_t Utf8Length(const std::string& text) {
  size_t count = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

class UidGenerator {
 public:
  // maxCharacters bounds the characters of a UID (an X.509 common name
  // holds 64); the bytes stay within 120 either way.
  explicit UidGenerator(std::mt19937& random, size_t maxCharacters = 120)
      : random_(random), maxCharacters_(maxCharacters) {}

  // A fresh UID, now and then built from an earlier one.
  std::string Next(const std::vector<std::string>& earlier) {
    const int kind = static_cast<int>(Pick(10));
    if (!earlier.empty() && kind == 0) return CaseVariant(earlier[Pick(earlier.size())]);
    if (!earlier.empty() && kind == 1) {
      // A long shared beginning: the host sees both cut the same.
      const std::string& base = earlier[Pick(earlier.size())];
      if (base.size() > kHostUidRoom + 2) {
        const std::string uid = Trimmed(base.substr(0, SharedLength(base)) + Piece() + Piece());
        if (Utf8Length(uid) <= maxCharacters_) return uid;
      }
    }
    return Random(1 + Pick(kMaxBytes));
  }

  size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

 private:
  static constexpr size_t kMaxBytes = 120;

  std::string Piece() {
    static const char* const kLatin = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static const char* const kPunctuation = "-_,()&'!+@#$%=~[]{}";
    switch (Pick(6)) {
      case 0:
      case 1:
        return std::string(1, kLatin[Pick(62)]);
      case 2: {
        // A Cyrillic letter, U+0410 to U+044F, two bytes in UTF-8.
        const unsigned code = 0x410 + static_cast<unsigned>(Pick(64));
        return {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
      }
      case 3:
        return " ";
      case 4:
        return std::string(1, kPunctuation[Pick(19)]);
      default:
        return ".";
    }
  }

  // Bytes of base, whole characters, that cover more than the host's cut.
  static size_t SharedLength(const std::string& base) {
    size_t end = kHostUidRoom + 1;
    while (end < base.size() && (static_cast<unsigned char>(base[end]) & 0xC0) == 0x80) ++end;
    return end;
  }

  // A name the module keeps as it is: no blank at either end, no "..".
  static std::string Trimmed(std::string uid) {
    while (!uid.empty() && (uid.back() == ' ' || uid.back() == '.')) uid.pop_back();
    while (!uid.empty() && uid.front() == ' ') uid.erase(0, 1);
    for (size_t at; (at = uid.find("..")) != std::string::npos;) uid.erase(at, 1);
    for (size_t at; (at = uid.find("  ")) != std::string::npos;) uid.erase(at, 1);
    return uid.empty() ? "X" : uid;
  }

  std::string Random(size_t bytes) {
    std::string uid;
    size_t characters = 0;
    while (uid.size() < bytes && characters < maxCharacters_) {
      const std::string piece = Piece();
      if (uid.size() + piece.size() > kMaxBytes) break;
      uid += piece;
      ++characters;
    }
    return Trimmed(uid);
  }

  std::string CaseVariant(std::string uid) {
    for (char& c : uid) {
      if (Pick(2) == 0) continue;
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
      else if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    }
    return uid;
  }

  std::mt19937& random_;
  size_t maxCharacters_;
};

}  // namespace cryptlib::test
