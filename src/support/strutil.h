// String routines of the engine: ";" lists, tag extraction and the date text
// of certificate dumps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cryptlib {

// Splits a ";"-separated list, keeping empty entries ("A;;B" gives three).
// Appends to list and answers the number of entries; nil or empty gives 0.
int32_t SplitList(const char* text, std::vector<std::string>& list);
// The text between the first startTag and the next endTag (optionally from
// the line after startTag). False when a tag is missing (value then holds the
// rest of the text when only endTag is missing).
bool ExtractBetween(const std::string& text, const std::string& startTag, const std::string& endTag, std::string& value,
                    bool skipLine);
// Removes a trailing 22-character date group " (dd-mm-yyyy hh-mm-ss)".
std::string StripParenthesizedSuffix(const std::string& text);
// "Mar  5 12:34:56 2004" -> "05-03-04 12:34:56".
std::string ConvertCertDate(const std::string& text);
// Characters 0 to 32 removed from both ends.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);
// ASCII a-z upper-cased; other bytes unchanged.
std::string UpperAscii(const std::string& text);
// Case-insensitive (ASCII) comparison.
bool SameTextAscii(const std::string& a, const std::string& b);
// Decimal integer text (optional leading spaces and sign, then digits only)
// that fits 32 bits. False, value unchanged, for anything else.
bool TryParseInt32(const std::string& text, int32_t& value);

}  // namespace cryptlib
