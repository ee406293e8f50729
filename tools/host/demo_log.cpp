#include "demo_log.h"

#include <cstdio>
#include <sstream>

namespace cryptlib::host {

bool StepLog::Fail(const std::string& reason) {
  if (failure_.empty()) failure_ = reason;
  return false;
}

bool StepLog::Check(bool condition, const std::string& what) {
  if (!condition) return Fail("check failed: " + what);
  Note(what);
  return true;
}

bool StepLog::Call(const EngineClient& engine, const Status& status, const std::string& what) {
  if (!status.ok()) return Fail(what + ": " + engine.Explain(status));
  Note(what + ": " + status.call + " 0");
  return true;
}

bool StepLog::Refused(const EngineClient& engine, const Status& status, const std::string& what) {
  if (status.ok()) return Fail(what + ": " + status.call + " accepted it");
  Note(what + ": refused, " + status.call + " " + std::to_string(status.code) + " \"" + engine.ErrorText(status.code) +
       "\"");
  return true;
}

std::string ReportValue(const std::string& report, const std::string& key) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  }
  return "";
}

std::string SerialPairs(long serial) {
  char hex[32];
  std::snprintf(hex, sizeof hex, "%lx", serial);
  std::string digits = hex;
  if (digits.size() % 2 != 0) digits.insert(0, "0");
  std::string pairs;
  for (size_t i = 0; i < digits.size(); i += 2) pairs += (i > 0 ? ":" : "") + digits.substr(i, 2);
  return pairs;
}

std::unique_ptr<EngineClient> OpenEngine(World& world, const std::string& party, StepLog& log) {
  std::string error;
  std::unique_ptr<EngineClient> engine = world.party(party).Engine(world.api, world.engineRoot, error);
  if (engine == nullptr) log.Fail(party + "'s engine: " + error);
  return engine;
}

}  // namespace cryptlib::host
