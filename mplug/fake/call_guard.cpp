#include "call_guard.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "fake_module.h"

namespace fake {
namespace {

// The call log's lock. It is held for one append or one copy of the log,
// so a thread that finds it taken yields rather than sleeps; untaken it
// costs a few instructions where a mutex costs about seventy, and the engine
// logs three size queries on every call.
class LogLock {
 public:
  void lock() {
    while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { busy_.clear(std::memory_order_release); }

 private:
  std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
};

// Shared state of the test hooks, each part under its own lock so that the
// thread-safe flavours really run calls side by side.
struct HookState {
  LogLock logLock;
  std::string log;
  std::mutex scriptMutex;
  std::map<std::string, std::pair<int32_t, int32_t>> scripts;  // function -> (result, remaining; < 0 forever)
  std::atomic<bool> anyScript{false};                          // scripts is not empty
  std::atomic<int32_t> inCall{0};
  std::atomic<int32_t> overlaps{0};
  std::atomic<int32_t> maxConcurrent{0};
  std::atomic<int32_t> delayMicros{0};
  ~HookState() { MarkModuleFinalised(); }
};

HookState& Hooks() {
  static HookState state;
  return state;
}

void SpinFor(int32_t micros) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
  while (std::chrono::steady_clock::now() < until) {
  }
}

}  // namespace

void Args::Separate() {
  if (!text_.empty()) text_ += ", ";
}

Args& Args::Int(int32_t value) {
  Separate();
  text_ += std::to_string(value);
  return *this;
}

Args& Args::Text(const char* text) {
  Separate();
  text_ += text == nullptr ? std::string("null") : "\"" + std::string(text) + "\"";
  return *this;
}

Args& Args::Buffer(const void* data) {
  Separate();
  text_ += data == nullptr ? "null" : "buf";
  return *this;
}

Args& Args::Length(const int32_t* cell) {
  Separate();
  text_ += cell == nullptr ? std::string("null") : "&" + std::to_string(*cell);
  return *this;
}

CallScope::CallScope(CallKind kind) : counted_(kind == CallKind::kCounted) {
  if (!counted_) return;
  HookState& hooks = Hooks();
  int32_t running = hooks.inCall.fetch_add(1) + 1;
  if (running > 1 && !ThisFlavour().threadSafe) hooks.overlaps.fetch_add(1);
  int32_t seen = hooks.maxConcurrent.load();
  while (running > seen && !hooks.maxConcurrent.compare_exchange_weak(seen, running)) {
  }
  if (int32_t delay = hooks.delayMicros.load(); delay > 0) SpinFor(delay);
}

CallScope::~CallScope() {
  if (counted_) Hooks().inCall.fetch_sub(1);
}

std::optional<int32_t> TakeScriptedResult(const char* function) {
  HookState& hooks = Hooks();
  // Most calls find no script: they take no lock and make no key.
  if (!hooks.anyScript.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(hooks.scriptMutex);
  auto it = hooks.scripts.find(function);
  if (it == hooks.scripts.end()) return std::nullopt;
  auto& [result, remaining] = it->second;
  int32_t answer = result;
  if (remaining > 0 && --remaining == 0) {
    hooks.scripts.erase(it);
    hooks.anyScript.store(!hooks.scripts.empty(), std::memory_order_release);
  }
  return answer;
}

void LogCall(const char* function, const Args& args, int32_t result, bool scripted) {
  // The line is put together before the lock and without an allocation
  // while it is short (a size query's is), so that logging a query costs
  // little more than a module's query itself.
  char shortLine[160];
  std::string longLine;
  const std::string& text = args.str();
  const size_t nameLength = std::strlen(function);
  char* line = shortLine;
  const size_t most = nameLength + text.size() + 32;
  if (most > sizeof shortLine) {
    longLine.resize(most);
    line = longLine.data();
  }
  char* end = line;
  end = std::copy_n(function, nameLength, end);
  *end++ = '(';
  end = std::copy(text.begin(), text.end(), end);
  end = std::copy_n(") = ", 4, end);
  end = std::to_chars(end, end + 12, result).ptr;
  if (scripted) end = std::copy_n(" [scripted]", 11, end);
  *end++ = '\n';
  AppendLogLine(std::string_view(line, static_cast<size_t>(end - line)));
}

void AppendLogLine(std::string_view line) {
  HookState& hooks = Hooks();
  std::lock_guard lock(hooks.logLock);
  hooks.log.append(line);
}

QueryLine::QueryLine(const char* function, int32_t answer) : function_(function), answer_(answer) {
  const int written = std::snprintf(text_, sizeof text_, "%s() = %d\n", function, static_cast<int>(answer));
  length_ = std::min(static_cast<size_t>(std::max(written, 0)), sizeof text_ - 1);
}

int32_t AnswerQuery(const QueryLine& query) {
  if (ModuleFinalised()) return kErrInternal;
  CallScope scope(CallKind::kQuery);
  if (std::optional<int32_t> scripted = TakeScriptedResult(query.function())) {
    LogCall(query.function(), Args(), *scripted, true);
    return *scripted;
  }
  AppendLogLine(query.text());
  return query.answer();
}

}  // namespace fake

using fake::Hooks;

extern "C" int32_t FakeLogRead(char* buffer, int32_t size) {
  std::lock_guard lock(Hooks().logLock);
  const std::string& log = Hooks().log;
  if (buffer != nullptr && size > 0) {
    size_t count = std::min(log.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, log.data(), count);
    buffer[count] = '\0';
  }
  return static_cast<int32_t>(log.size() + 1);
}

extern "C" void FakeLogClear(void) {
  std::lock_guard lock(Hooks().logLock);
  Hooks().log.clear();
}

extern "C" void FakeScriptResult(const char* function, int32_t result, int32_t times) {
  if (function == nullptr || times == 0) return;
  std::lock_guard lock(Hooks().scriptMutex);
  Hooks().scripts[function] = {result, times};
  Hooks().anyScript.store(true, std::memory_order_release);
}

extern "C" void FakeScriptClear(void) {
  std::lock_guard lock(Hooks().scriptMutex);
  Hooks().scripts.clear();
  Hooks().anyScript.store(false, std::memory_order_release);
}

extern "C" int32_t FakeOverlapCount(void) {
  return Hooks().overlaps.load();
}

extern "C" int32_t FakeMaxConcurrentCalls(void) {
  return Hooks().maxConcurrent.load();
}

extern "C" void FakeSetCallDelayMicros(int32_t micros) {
  Hooks().delayMicros.store(std::max(micros, 0));
}

extern "C" void FakeReset(void) {
  FakeLogClear();
  FakeScriptClear();
  Hooks().overlaps.store(0);
  Hooks().maxConcurrent.store(0);
  Hooks().delayMicros.store(0);
}

extern "C" int32_t FakeOpenContextCount(void) {
  return fake::Contexts().OpenCount();
}
