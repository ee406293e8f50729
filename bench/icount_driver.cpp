// The program bench/icount.py runs under callgrind: one case, a number of
// times. Every call of the case goes through MeasuredCall, the only function
// callgrind counts (--collect-atstart=no --toggle-collect=MeasuredCall), so
// the set-up, the input copies and the waits between calls are not counted.
//
//   bench_icount_fake <case> <count>     runs the case count times
//   bench_icount_fake --list             names the cases
//
// Cases: <operation>/<cached|fresh>/<engine|direct> for VerifyData,
// SignData, DecodeData and EncodeData (no recipients named), and
// Recipients/<1|20>/<engine|direct>: EncodeData naming that many recipients.
// "engine" calls the exports of the loaded library as a host does; "direct"
// makes the same vendor calls straight into the module on a context opened
// as the engine opens it (DirectContext), without the size queries.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace cryptlib::bench {
namespace {

// One case: what each call needs beforehand (not counted) and the call.
struct Case {
  std::function<void()> prepare;
  std::function<int32_t()> call;
};

// Everything a case keeps alive while it runs.
struct CaseState {
  std::unique_ptr<Engine> engine;
  Buffers buffers;
  int32_t length = 0;
  std::unique_ptr<DirectContext> context;
  std::vector<std::unique_ptr<DirectContext>> readers;
  std::string names;
};

extern "C" __attribute__((noinline)) int32_t MeasuredCall(const std::function<int32_t()>* call) {
  return (*call)();
}

// Contexts of lifetime 0 live for one tick of the millisecond clock: each
// call starts in a new millisecond so that every call opens them again.
void WaitForNextMillisecond() {
  const int64_t start = WallMillisecond();
  while (WallMillisecond() == start) {
  }
}

// The fake keeps a log of every call; an empty log before each call keeps
// every call's share of it the same.
void ClearVendorLog() {
  static auto* clear = reinterpret_cast<void (*)()>(Installation::Get().Hook("FakeLogClear"));
  if (clear != nullptr) clear();
}

Case EngineCall(CaseState& s, const std::string& operation) {
  const host::Exports& api = Installation::Get().api();
  const CRYPT_HANDLE h = s.engine->handle();
  Buffers& b = s.buffers;
  int32_t& length = s.length;
  if (operation == "VerifyData")
    return {[] {},
            [&api, h, &b] {
              return api.VerifyData(h, b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(),
                                    b.signatureLength, b.uid.data());
            }};
  if (operation == "SignData")
    return {[&b, &length] { length = static_cast<int32_t>(b.signature.size()); },
            [&api, h, &b, &length] {
              return api.SignData(h, b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(), &length,
                                  "");
            }};
  if (operation == "DecodeData")
    return {[&b, &length] { length = Restore(b, b.input); },
            [&api, h, &b, &length] { return api.DecodeData(h, b.work.data(), &length, b.uid.data()); }};
  const char* names = s.names.c_str();
  return {[&b, &length] { length = Restore(b, b.plain); },
          [&api, h, &b, &length, names] { return api.EncodeData(h, b.work.data(), &length, names); }};
}

Case DirectCall(CaseState& s, const std::string& operation) {
  const VendorTable& v = Installation::Get().vendor();
  DirectContext& c = *s.context;
  Buffers& b = s.buffers;
  int32_t& length = s.length;
  if (operation == "VerifyData")
    return {[&b, &length] { length = static_cast<int32_t>(b.plain.size()); },
            [&v, &c, &b, &length] {
              return v.VerifyData(c.Get(), b.plain.data(), &length, b.signature.data(), b.signatureLength,
                                  b.uid.data());
            }};
  if (operation == "SignData")
    return {[&b, &length] { length = static_cast<int32_t>(b.signature.size()); },
            [&v, &c, &b, &length] {
              return v.SignData(c.Get(), b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(),
                                &length, "");
            }};
  if (operation == "DecodeData")
    return {[&b, &length] { length = Restore(b, b.input); },
            [&v, &c, &b, &length] { return v.DecodeData(c.Get(), b.work.data(), &length, b.uid.data()); }};
  // EncodeData: the subject line of each recipient read on its own fresh
  // context, as the engine reads it, then the encryption for all of them.
  const char* subjects = s.names.c_str();
  auto& readers = s.readers;
  return {[&b, &length] { length = Restore(b, b.plain); },
          [&v, &c, &b, &length, &readers, subjects] {
            for (auto& reader : readers)
              if (const int32_t result = v.GetCurrentUID(reader->Get(), b.uid.data())) return result;
            return v.EncodeData(c.Get(), b.work.data(), &length, subjects);
          }};
}

// Splits "<a>/<b>/<c>"; false unless there are exactly three parts.
bool SplitCase(const std::string& name, std::string parts[3]) {
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = name.find('/', start);
    if ((end == std::string::npos) != (i == 2)) return false;
    parts[i] = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end + 1;
  }
  return true;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const char* operation : {"VerifyData", "SignData", "DecodeData", "EncodeData"})
    for (const char* lifetime : {"cached", "fresh"})
      for (const char* side : {"engine", "direct"})
        names.push_back(std::string(operation) + "/" + lifetime + "/" + side);
  for (const char* count : {"1", "20"})
    for (const char* side : {"engine", "direct"}) names.push_back(std::string("Recipients/") + count + "/" + side);
  return names;
}

// Sets up the named case in s; false for an unknown name.
bool MakeCase(const std::string& name, CaseState& s, Case& made, bool& waitEachCall) {
  std::string parts[3];
  if (!SplitCase(name, parts)) return false;
  const bool recipients = parts[0] == "Recipients";
  const bool fresh = parts[1] == "fresh";
  const bool engineSide = parts[2] == "engine";
  const std::string operation = recipients ? "EncodeData" : parts[0];
  s.engine = std::make_unique<Engine>(fresh ? "" : "3600");
  const std::vector<std::string> snapshot = s.engine->Snapshot();
  constexpr size_t kSize = 1024;
  s.buffers = PrepareBuffers(kSize, snapshot);
  PrepareInput(s.buffers, operation, snapshot);
  s.context = std::make_unique<DirectContext>(Installation::Get().vendor(), snapshot, fresh);
  if (recipients) {
    const Scenario& scenario = Installation::Get().scenario();
    const size_t count = static_cast<size_t>(std::atoi(parts[1].c_str()));
    if (count < 1 || count > scenario.recipients.size()) return false;
    s.names = Join(engineSide ? scenario.recipients : scenario.recipientSubjects, count);
    const VendorTable& v = Installation::Get().vendor();
    const size_t paramCount = static_cast<size_t>(v.GetCryptoParamNumber());
    if (!engineSide)
      for (size_t i = 0; i < count; ++i)
        s.readers.push_back(
            std::make_unique<DirectContext>(v, SubjectSnapshot(paramCount, scenario.recipients[i]), true));
  } else if (parts[1] != "cached" && !fresh) {
    return false;
  }
  if (operation != "VerifyData" && operation != "SignData" && operation != "DecodeData" && operation != "EncodeData")
    return false;
  if (!engineSide && parts[2] != "direct") return false;
  made = engineSide ? EngineCall(s, operation) : DirectCall(s, operation);
  waitEachCall = fresh || recipients;
  return true;
}

int Run(const std::string& name, long count) {
  CaseState state;
  Case made;
  bool waitEachCall = false;
  if (!MakeCase(name, state, made, waitEachCall)) {
    std::fprintf(stderr, "unknown case %s (--list names them)\n", name.c_str());
    return 2;
  }
  // One call before counting: the first opens the cached context.
  for (long i = 0; i <= count; ++i) {
    made.prepare();
    if (waitEachCall) WaitForNextMillisecond();
    ClearVendorLog();
    const int32_t result = i == 0 ? made.call() : MeasuredCall(&made.call);
    if (result != 0) {
      std::fprintf(stderr, "%s: call %ld answered %d %s\n", name.c_str(), i, result,
                   state.engine ? state.engine->LastError().c_str() : "");
      return 1;
    }
  }
  return 0;
}

}  // namespace
}  // namespace cryptlib::bench

int main(int argc, char** argv) {
  using namespace cryptlib::bench;
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const std::string& name : CaseNames()) std::printf("%s\n", name.c_str());
    return 0;
  }
  const long count = argc == 3 ? std::atol(argv[2]) : 0;
  if (count < 1) {
    std::fprintf(stderr, "usage: %s <case> <count> | --list\n", argv[0]);
    return 2;
  }
  int status = 0;
  try {
    status = Run(argv[1], count);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    status = 1;
  }
  Installation::Shutdown();
  return status;
}
