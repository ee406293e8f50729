// Every exported function runs inside LoggedCall: the call is counted (overlap
// detection), may be delayed or answered by a scripted result, its exceptions
// become kErrInternal, and it is written to the call log with its arguments
// and result.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "contexts.h"

namespace fake {

// The arguments of one call as log text: "3, \"/C=RU/CN=A\", &11, buf".
class Args {
 public:
  Args& Int(int32_t value);
  Args& Text(const char* text);    // quoted, or null
  Args& Buffer(const void* data);  // "buf" or null: contents are not logged
  Args& Length(const int32_t* cell);
  const std::string& str() const { return text_; }

 private:
  void Separate();
  std::string text_;
};

enum class CallKind {
  kCounted,  // takes part in overlap detection and the delay
  // The size and count queries: the engine calls them outside its call lock
  // by design, so they must not count as overlaps.
  kQuery,
};

class CallScope {
 public:
  explicit CallScope(CallKind kind);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  bool counted_;
};

std::optional<int32_t> TakeScriptedResult(const char* function);
void LogCall(const char* function, const Args& args, int32_t result, bool scripted);
// Appends one whole line, newline included, to the call log.
void AppendLogLine(std::string_view line);

// A size or count query: no arguments, and an answer that is a constant of
// the module (the parameter count one of its flavour), so its log line is the
// same on every call that no script answers. It is made once, on the first
// call, and appended whole, which keeps a logged query close to a module's
// own query (the engine makes three per cached call). Nothing in it needs
// destroying: a call made while the module is unloaded still finds it.
class QueryLine {
 public:
  QueryLine(const char* function, int32_t answer);
  const char* function() const { return function_; }
  int32_t answer() const { return answer_; }
  std::string_view text() const { return std::string_view(text_, length_); }

 private:
  const char* function_;
  int32_t answer_;
  char text_[80];  // "GetMaxUIDLength() = 260\n", as LogCall writes it
  size_t length_;
};

// LoggedCall for a query: scripts, the finalised module and the log as for any
// call.
int32_t AnswerQuery(const QueryLine& query);

template <class Body>
int32_t LoggedCall(const char* function, const Args& args, Body&& body, CallKind kind = CallKind::kCounted) {
  if (ModuleFinalised()) return kErrInternal;
  CallScope scope(kind);
  if (std::optional<int32_t> scripted = TakeScriptedResult(function)) {
    LogCall(function, args, *scripted, true);
    return *scripted;
  }
  int32_t result = kErrInternal;
  try {
    result = body();
  } catch (...) {
    result = kErrInternal;
  }
  LogCall(function, args, result, false);
  return result;
}

// A body on an open context: unknown handles answer kErrUnknownContext.
template <class Body>
int32_t OnContext(MPlugContext handle, Body&& body) {
  std::shared_ptr<Context> context = Contexts().Find(handle);
  if (!context) return kErrUnknownContext;
  return body(*context);
}

}  // namespace fake
