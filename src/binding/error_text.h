// The texts of the binding's own result codes.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace cryptlib {

// The text of -1 to -6 and -100, nullptr for any other code.
const char* BindingErrorText(int32_t code);

// The module's text of the last failed vendor call, one per thread. It is
// read from the very context the call failed on, right after the call: the
// next call may use another context (or close that one), whose text would
// say nothing about this failure.
class VendorErrorLog {
 public:
  void Record(std::string text);
  // False while this thread has recorded nothing.
  bool Last(std::string& text) const;

 private:
  // Threads come and go: past this many, the texts of the others are
  // forgotten.
  static constexpr size_t kMaxThreads = 256;
  mutable std::mutex mutex_;
  std::unordered_map<std::thread::id, std::string> texts_;
};

}  // namespace cryptlib
