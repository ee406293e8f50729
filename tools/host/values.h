// Values on the command line, read strictly: the whole word or an error,
// never a prefix or another base than the one documented.
#pragma once

#include <string>
#include <vector>

namespace cryptlib::host {

// A decimal number from 1 to max.
bool ParsePositive(const std::string& text, int max, int& value);
// A certificate serial in the hexadecimal form reports print ("10:01"),
// with or without the colons, or with "0x" ("0x1001"); at most 62 bits.
bool ParseSerial(const std::string& text, long long& value);
// Serials separated by commas; false naming the first bad one in bad.
bool ParseSerialList(const std::string& text, std::vector<long long>& serials, std::string& bad);
// The serial as reports print it: hexadecimal pairs joined by colons.
std::string SerialText(long long serial);

}  // namespace cryptlib::host
