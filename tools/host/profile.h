// The profile: the engine keeps no settings of its own, so the tool keeps
// the parameters a user set in a text file and gives them to every engine it
// creates. One "name=value" per line; the name is the parameter's number
// (1-based, as the engine counts) or its name as GetCryptoParamName gives it
// (letter case ignored). Lines starting with "#" and empty lines are kept
// as they are but mean nothing.
#pragma once

#include <string>
#include <vector>

namespace cryptlib::host {

class Profile {
 public:
  struct Entry {
    std::string name;
    std::string value;
  };

  // Reads path; a missing file is an empty profile unless mustExist. False
  // with error set for a line without "=" or a file that cannot be read
  // (unreadable() then tells the two apart).
  bool Load(const std::string& path, std::string& error, bool mustExist = false);
  bool unreadable() const { return unreadable_; }
  bool Save(const std::string& path) const;
  // Replaces the value of name (compared ignoring case), or appends it.
  void Set(const std::string& name, const std::string& value);
  // The settings in file order.
  std::vector<Entry> Entries() const;

 private:
  // Every line of the file; settings have name set, comments only text.
  struct Line {
    std::string text;
    bool setting = false;
    Entry entry;
  };
  std::vector<Line> lines_;
  bool unreadable_ = false;
};

// The parameter number name stands for among the engine's names (index 0 is
// parameter 1), or 0 when it is none of them. A decimal name is the number.
int ParameterNumber(const std::string& name, const std::vector<std::string>& names);

}  // namespace cryptlib::host
