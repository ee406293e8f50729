#include "options.h"

namespace cryptlib::host {

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  auto found = named.find(name);
  return found == named.end() ? fallback : found->second;
}

std::string Options::Word(size_t index, const std::string& fallback) const {
  return index < words.size() ? words[index] : fallback;
}

}  // namespace cryptlib::host
