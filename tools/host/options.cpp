#include "options.h"

#include <set>

namespace cryptlib::host {
namespace {

// Options that are switches: present or not, no value follows.
const std::set<std::string>& Switches() {
  static const std::set<std::string> switches = {"json", "keep", "ignore-time", "from-params", "ssk", "help"};
  return switches;
}

}  // namespace

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  auto found = named.find(name);
  return found == named.end() ? fallback : found->second;
}

std::string Options::Word(size_t index, const std::string& fallback) const {
  return index < words.size() ? words[index] : fallback;
}

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      options.words.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    if (Switches().count(name) != 0) {
      options.named[name] = "1";
      if (name == "json") options.json = true;
    } else if (i + 1 < argc) {
      options.named[name] = argv[++i];
    } else {
      options.error = "option " + arg + " needs a value";
    }
  }
  return options;
}

}  // namespace cryptlib::host
