// What a command receives from the command line once it is parsed
// (command_line.h): the command words and positional arguments in order,
// and the options given, by name without the dashes ("to", "root").
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cryptlib::host {

struct Options {
  std::vector<std::string> words;            // command words, then the positional arguments given
  std::map<std::string, std::string> named;  // switches given hold "1"
  bool json = false;

  bool Has(const std::string& name) const { return named.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  // The word at index (0 is the command's first word), or fallback.
  std::string Word(size_t index, const std::string& fallback = "") const;
};

}  // namespace cryptlib::host
