// TSyncExceptStr: the engine's last-error text, readable and writable from
// several threads at once (readers share the lock, a writer excludes all).
#pragma once

#include <string>

#include "support/rwsyncs.h"

namespace cryptlib {

class TSyncExceptStr {
 public:
  std::string GetText() {
    ReadGuard hold(lock_);
    return text_;
  }
  void SetText(const std::string& text) {
    WriteGuard hold(lock_);
    text_ = text;
  }

 private:
  TRWCriticalSection lock_;
  std::string text_;
};

}  // namespace cryptlib
