// Failures inside the module: an exception carrying one of the module's codes
// and a detail (a path, a name, OpenSSL's own error text). The export guard
// turns it into the function's result and the context's last error message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace ref {

class Failure : public std::exception {
 public:
  Failure(int32_t code, std::string detail);
  int32_t code() const { return code_; }
  // "<text of the code>: <detail>", or the code's text alone.
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int32_t code_;
  std::string message_;
};

[[noreturn]] void Fail(int32_t code, const std::string& detail = {});

// Fails with the detail followed by the text of OpenSSL's error queue (which
// is emptied), so that GetLastErrorMessage shows the real cause.
[[noreturn]] void FailCrypto(int32_t code, const std::string& detail);

// The queued OpenSSL errors of this thread as one line, oldest first; empties
// the queue.
std::string TakeCryptoErrors();

// The text of one of the module's codes; nullptr for a code it does not own.
const char* ErrorText(int32_t code);

// Copies text into a buffer of size bytes, cut so that the terminator fits.
void CopyText(const std::string& text, char* buffer, size_t size);

}  // namespace ref
