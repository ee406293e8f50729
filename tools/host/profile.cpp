#include "profile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace cryptlib::host {
namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool Profile::Load(const std::string& path, std::string& error, bool mustExist) {
  lines_.clear();
  unreadable_ = false;
  std::error_code missing;
  if (!mustExist && !std::filesystem::exists(path, missing)) return true;
  std::ifstream in(path);
  if (!in || std::filesystem::is_directory(path, missing)) {
    unreadable_ = true;
    error = "cannot read the profile " + path + ": " + (in ? "is a directory" : std::strerror(errno));
    return false;
  }
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    Line line{text, false, {}};
    const std::string trimmed = Trim(text);
    if (!trimmed.empty() && trimmed[0] != '#') {
      const size_t equals = trimmed.find('=');
      if (equals == std::string::npos || equals == 0) {
        error = path + ":" + std::to_string(number) + ": expected name=value";
        return false;
      }
      // Values keep their spaces: a path may end in one.
      line.setting = true;
      line.entry = {Trim(trimmed.substr(0, equals)), text.substr(text.find('=') + 1)};
    }
    lines_.push_back(line);
  }
  return true;
}

bool Profile::Save(const std::string& path) const {
  std::ofstream out(path, std::ios::trunc);
  for (const Line& line : lines_) out << (line.setting ? line.entry.name + "=" + line.entry.value : line.text) << "\n";
  return static_cast<bool>(out.flush());
}

void Profile::Set(const std::string& name, const std::string& value) {
  for (Line& line : lines_) {
    if (line.setting && SameName(line.entry.name, name)) {
      line.entry.value = value;
      return;
    }
  }
  lines_.push_back({"", true, {name, value}});
}

std::vector<Profile::Entry> Profile::Entries() const {
  std::vector<Entry> entries;
  for (const Line& line : lines_)
    if (line.setting) entries.push_back(line.entry);
  return entries;
}

int ParameterNumber(const std::string& name, const std::vector<std::string>& names) {
  if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return name.size() <= 4 ? std::stoi(name) : 0;
  }
  for (size_t i = 0; i < names.size(); ++i)
    if (SameName(names[i], name)) return static_cast<int>(i) + 1;
  return 0;
}

}  // namespace cryptlib::host
