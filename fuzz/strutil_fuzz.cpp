// The text routines that read certificate dumps and host lists: the date
// conversion, tag extraction and the ";" list split, on arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/strutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  std::string date = cryptlib::ConvertCertDate(text);
  if (date.size() > 64) std::abort();

  // The first two lines of the input are the tags, the rest the text.
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? std::string::npos : text.find('\n', first + 1);
  if (second != std::string::npos) {
    std::string start = text.substr(0, first), end = text.substr(first + 1, second - first - 1);
    std::string body = text.substr(second + 1), value;
    for (bool skipLine : {false, true}) {
      cryptlib::ExtractBetween(body, start, end, value, skipLine);
      if (value.size() > body.size()) std::abort();
    }
  }

  std::string terminated(text.c_str());
  std::vector<std::string> entries;
  int32_t count = cryptlib::SplitList(terminated.c_str(), entries);
  if (count != static_cast<int32_t>(entries.size())) std::abort();
  cryptlib::StripParenthesizedSuffix(text);
  return 0;
}
