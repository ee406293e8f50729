#include "output.h"

#include <cstdio>

namespace cryptlib::host {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

std::vector<std::string> ReportLines(const std::string& report) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string ReportJson(const std::string& report) {
  std::string object = "{", key;
  bool inKey = false;
  for (const std::string& line : ReportLines(report)) {
    // The key's lines follow "PKey=" and carry "=" of their own.
    if (inKey) {
      key += (key.empty() ? "" : "\n") + line;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    if (name == "PKey") {
      inKey = true;
      key = line.substr(equals + 1);
      continue;
    }
    object += (object.size() > 1 ? ", " : "") + JsonString(name) + ": " + JsonString(line.substr(equals + 1));
  }
  if (inKey) object += (object.size() > 1 ? ", " : "") + std::string("\"PKey\": ") + JsonString(key);
  return object + "}";
}

void Output::AddReport(const std::string& name, const std::string& report) {
  std::string human;
  for (const std::string& line : ReportLines(report)) human += (human.empty() ? "" : "\n") + line;
  fields_.push_back({name, ReportJson(report), human});
}

void Output::Add(const std::string& name, const std::string& value) {
  fields_.push_back({name, JsonString(value), value});
}

void Output::Add(const std::string& name, int64_t value) {
  fields_.push_back({name, std::to_string(value), std::to_string(value)});
}

void Output::AddBool(const std::string& name, bool value) {
  fields_.push_back({name, value ? "true" : "false", value ? "yes" : "no"});
}

void Output::AddRaw(const std::string& name, const std::string& json, const std::string& human) {
  fields_.push_back({name, json, human});
}

void Output::Print(bool failed) const {
  if (json_) {
    std::string object = "{";
    for (size_t i = 0; i < fields_.size(); ++i)
      object += (i > 0 ? ", " : "") + JsonString(fields_[i].name) + ": " + fields_[i].json;
    std::fprintf(dataOnStdout_ ? stderr : stdout, "%s}\n", object.c_str());
    return;
  }
  FILE* stream = failed || dataOnStdout_ ? stderr : stdout;
  for (const Field& field : fields_) {
    // Multi-line values (reports) start on a line of their own.
    if (field.human.find('\n') != std::string::npos)
      std::fprintf(stream, "%s:\n%s\n", field.name.c_str(), field.human.c_str());
    else
      std::fprintf(stream, "%s: %s\n", field.name.c_str(), field.human.c_str());
  }
}

}  // namespace cryptlib::host
