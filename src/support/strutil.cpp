#include "support/strutil.h"

#include <array>
#include <limits>

namespace cryptlib {

namespace {

constexpr char kListSeparator = ';';

// Characters [position, position + count) with position 1-based, cut to the
// text: short or malformed input yields a shorter (possibly empty) piece
// instead of failing.
std::string CopyChars(const std::string& text, size_t position, size_t count) {
  if (position == 0 || position > text.size()) return {};
  return text.substr(position - 1, count);
}

std::string TwoDigits(int32_t value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

// 1 for "Jan" ... 12 for "Dec"; a name that is not one of them reads as 1.
int32_t MonthNumber(const std::string& abbreviation) {
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (size_t index = 0; index < kMonths.size(); ++index) {
    if (abbreviation == kMonths[index]) return static_cast<int32_t>(index) + 1;
  }
  return 1;
}

// The day field may be written with a leading space (" 5"); anything that is
// not a positive one- or two-digit day reads as 1.
int32_t DayNumber(const std::string& field) {
  int32_t day = 0;
  if (field.find_first_of("+-") != std::string::npos || !TryParseInt32(field, day) || day < 0) return 1;
  return day;
}

char UpperAsciiChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

int32_t SplitList(const char* text, std::vector<std::string>& list) {
  if (text == nullptr || *text == '\0') return 0;
  const std::string remaining(text);
  int32_t count = 0;
  size_t start = 0;
  // A trailing separator yields one empty last entry, as "A;" reads as "A" and "".
  while (true) {
    const size_t separator = remaining.find(kListSeparator, start);
    list.push_back(remaining.substr(start, separator == std::string::npos ? std::string::npos : separator - start));
    ++count;
    if (separator == std::string::npos) break;
    start = separator + 1;
  }
  return count;
}

bool ExtractBetween(const std::string& text, const std::string& startTag, const std::string& endTag, std::string& value,
                    bool skipLine) {
  value.clear();
  const size_t tag = text.find(startTag);
  if (tag == std::string::npos) return false;
  size_t from = tag + startTag.size();
  if (skipLine) {
    const size_t lineEnd = text.find("\r\n", from);
    if (lineEnd == std::string::npos) return false;
    from = lineEnd + 2;
  }
  const size_t end = text.find(endTag, from);
  if (end == std::string::npos) {
    value = text.substr(from);
    return false;
  }
  value = text.substr(from, end - from);
  return true;
}

std::string StripParenthesizedSuffix(const std::string& text) {
  // The group " (dd-mm-yyyy hh-mm-ss)" is 22 characters: a separator and 21
  // characters from "(" to ")".
  constexpr size_t kGroupLength = 21;
  if (text.size() < kGroupLength || text[text.size() - kGroupLength] != '(' || text.back() != ')') return text;
  if (text.size() <= kGroupLength) return {};
  return text.substr(0, text.size() - kGroupLength - 1);
}

std::string ConvertCertDate(const std::string& text) {
  // "Mar  5 12:34:56 2004": month 1-3, day 5-6, time 8-15, year 17-20.
  const std::string month = TwoDigits(MonthNumber(CopyChars(text, 1, 3)));
  const std::string day = TwoDigits(DayNumber(CopyChars(text, 5, 2)));
  const std::string year = CopyChars(text, 19, 2);
  const std::string time = CopyChars(text, 8, 8);
  return day + "-" + month + "-" + year + " " + time;
}

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string Trim(std::string_view text) {
  return std::string(TrimView(text));
}

std::string UpperAscii(const std::string& text) {
  std::string upper(text);
  for (char& c : upper) c = UpperAsciiChar(c);
  return upper;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t index = 0; index < a.size(); ++index) {
    if (UpperAsciiChar(a[index]) != UpperAsciiChar(b[index])) return false;
  }
  return true;
}

bool TryParseInt32(const std::string& text, int32_t& value) {
  size_t position = text.find_first_not_of(' ');
  if (position == std::string::npos) return false;
  bool negative = false;
  if (text[position] == '+' || text[position] == '-') {
    negative = text[position] == '-';
    ++position;
  }
  if (position == text.size()) return false;
  // Wide enough for the magnitude of the 32-bit minimum.
  int64_t magnitude = 0;
  for (; position < text.size(); ++position) {
    const char c = text[position];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  const int64_t result = negative ? -magnitude : magnitude;
  if (result > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(result);
  return true;
}

}  // namespace cryptlib
