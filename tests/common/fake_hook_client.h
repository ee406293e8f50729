// Reads and drives a loaded fake vendor module through its hook exports: the
// call log, scripted results, the overlap detector. Shared by the unit tests
// (which load a flavour directly) and the host tests (which open the file the
// engine loaded).
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_os.h"
#include "fake/fake_hooks.h"

namespace cryptlib::test {

class FakeHookClient {
 public:
  explicit FakeHookClient(void* module) : module_(module) {}

  bool Available() const { return module_ != nullptr; }
  std::string Log() const {
    auto read = Hook<FakeLogRead_Fn>("FakeLogRead");
    std::string log(static_cast<size_t>(read(nullptr, 0)), '\0');
    read(log.data(), static_cast<int32_t>(log.size()));
    log.resize(log.size() - 1);
    return log;
  }
  void Reset() const { Hook<FakeReset_Fn>("FakeReset")(); }
  void Script(const char* function, int32_t result, int32_t times) const {
    Hook<FakeScriptResult_Fn>("FakeScriptResult")(function, result, times);
  }
  void ClearScripts() const { Hook<FakeScriptClear_Fn>("FakeScriptClear")(); }
  int32_t OpenContexts() const { return Hook<FakeOpenContextCount_Fn>("FakeOpenContextCount")(); }
  int32_t Overlaps() const { return Hook<FakeOverlapCount_Fn>("FakeOverlapCount")(); }
  int32_t MaxConcurrentCalls() const { return Hook<FakeMaxConcurrentCalls_Fn>("FakeMaxConcurrentCalls")(); }
  // The bank's side: a certificate for a request, issued by issuer.
  int32_t IssueCertificate(const std::string& request, const std::string& issuer,
                           const std::string& certificate) const {
    return Hook<FakeIssueCertificate_Fn>("FakeIssueCertificate")(request.c_str(), issuer.c_str(), certificate.c_str());
  }
  // An outside generation utility: a fresh key container in directory.
  int32_t WriteKeyContainer(const std::string& directory, const std::string& subject) const {
    return Hook<FakeWriteKeyContainer_Fn>("FakeWriteKeyContainer")(directory.c_str(), subject.c_str());
  }
  void SetCallDelay(int32_t micros) const { Hook<FakeSetCallDelayMicros_Fn>("FakeSetCallDelayMicros")(micros); }

  // The log lines of one function, e.g. "EncodeData(3, buf, &4, \"\") = 0".
  std::vector<std::string> Calls(const std::string& function) const {
    std::vector<std::string> lines;
    std::istringstream log(Log());
    for (std::string line; std::getline(log, line);)
      if (line.rfind(function + "(", 0) == 0) lines.push_back(line);
    return lines;
  }
  // The first argument of each call of function (the context of most).
  std::vector<int32_t> FirstArguments(const std::string& function) const {
    std::vector<int32_t> values;
    for (const std::string& line : Calls(function)) values.push_back(std::stoi(line.substr(function.size() + 1)));
    return values;
  }
  // The contexts InitCrypto answered.
  std::vector<int32_t> Opened() const {
    std::vector<int32_t> values;
    for (const std::string& line : Calls("InitCrypto")) values.push_back(std::stoi(line.substr(line.find("= ") + 2)));
    return values;
  }

  template <class Fn>
  Fn Hook(const char* name) const {
    void* symbol = ModuleSymbol(module_, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("fake hook missing: ") + name);
    return reinterpret_cast<Fn>(symbol);
  }

 protected:
  void* module_;
};

}  // namespace cryptlib::test
