// The command line: the command words, the positional arguments after them
// and "--name value" options (anywhere on the line). "--json" and "--keep"
// take no value.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cryptlib::host {

struct Options {
  std::vector<std::string> words;  // command and positional arguments, in order
  std::map<std::string, std::string> named;
  bool json = false;
  std::string error;  // set when the line cannot be read

  bool Has(const std::string& name) const { return named.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  // The positional argument at index (0 is the command), or fallback.
  std::string Word(size_t index, const std::string& fallback = "") const;
};

Options ParseOptions(int argc, const char* const* argv);

}  // namespace cryptlib::host
