// What a command prints: an ordered list of named results, shown as
// "name: value" lines for a person or as one JSON object for a script.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cryptlib::host {

// A JSON string literal of text (quotes included). Bytes from 0x80 up are
// passed through: the engine's texts are 8-bit, and scripts read them as such.
std::string JsonString(const std::string& text);

class Output {
 public:
  explicit Output(bool json) : json_(json) {}

  bool json() const { return json_; }
  void Add(const std::string& name, const std::string& value);
  void Add(const std::string& name, int64_t value);
  void AddBool(const std::string& name, bool value);
  // A value that is already JSON (an array or object) in JSON mode; its
  // human form is given separately.
  void AddRaw(const std::string& name, const std::string& json, const std::string& human);

  // Prints everything collected to stdout (JSON) or stdout/stderr (human:
  // the fields of a failure go to stderr).
  void Print(bool failed) const;

 private:
  struct Field {
    std::string name;
    std::string json;
    std::string human;
  };
  bool json_;
  std::vector<Field> fields_;
};

}  // namespace cryptlib::host
