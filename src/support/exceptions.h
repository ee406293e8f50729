// The one exception family of the engine. Operations raise these; the
// operation that catches one records "<method prefix><ClassName>: <Message>"
// as the engine's last error and answers -102; the export shield swallows
// whatever escapes.
#pragma once

#include <exception>
#include <string>

namespace cryptlib {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Exception("Exception", std::move(message)) {}
  const std::string& ClassName() const noexcept { return className_; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 protected:
  Exception(std::string className, std::string message)
      : className_(std::move(className)), message_(std::move(message)) {}

 private:
  std::string className_;
  std::string message_;
};

#define CRYPTLIB_DECLARE_EXCEPTION(Name)                                       \
  class Name : public Exception {                                              \
   public:                                                                     \
    explicit Name(std::string message) : Exception(#Name, std::move(message)) {} \
  }

CRYPTLIB_DECLARE_EXCEPTION(EOutOfMemory);
CRYPTLIB_DECLARE_EXCEPTION(EInOutError);
CRYPTLIB_DECLARE_EXCEPTION(EAssertionFailed);
CRYPTLIB_DECLARE_EXCEPTION(EConvertError);
CRYPTLIB_DECLARE_EXCEPTION(EListError);
CRYPTLIB_DECLARE_EXCEPTION(EAccessViolation);
CRYPTLIB_DECLARE_EXCEPTION(EAbstractError);

#undef CRYPTLIB_DECLARE_EXCEPTION

// Raises EAssertionFailed with "<what> (<unit>)" when condition is false.
inline void Assert(bool condition, const char* what, const char* unit) {
  if (!condition) throw EAssertionFailed(std::string(what) + " (" + unit + ")");
}

// "<ClassName>: <Message>" of the exception in flight; call inside a catch
// block. A std::bad_alloc reads as EOutOfMemory, any other standard exception
// under its own text, anything else as an unknown exception.
std::string CurrentExceptionText() noexcept;

}  // namespace cryptlib
