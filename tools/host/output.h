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

// The report's properties as a JSON object: {"SN": "...", ..., "PKey": "key lines"}.
std::string ReportJson(const std::string& report);

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

  // A certificate's property list ("SN=...", CR LF after each, the key's
  // lines after "PKey="): an object of its properties in JSON, lines for a
  // person.
  void AddReport(const std::string& name, const std::string& report);
  // The command's data goes to standard output: the results go to standard
  // error instead, so that they do not mix with it.
  void DataOnStdout() { dataOnStdout_ = true; }

  // Prints everything collected: JSON on stdout; for a person, name: value
  // lines on stdout, those of a failure on stderr.
  void Print(bool failed) const;

 private:
  struct Field {
    std::string name;
    std::string json;
    std::string human;
  };
  bool json_;
  bool dataOnStdout_ = false;
  std::vector<Field> fields_;
};

}  // namespace cryptlib::host
