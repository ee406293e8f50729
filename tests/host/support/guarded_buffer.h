// Host memory that ends exactly at an inaccessible page: a read or write one
// byte past the buffer faults at once, instead of corrupting a neighbour that
// a later check may or may not notice. The slack in front of the buffer (the
// rest of its first page) is filled with a known byte, so a write before it
// is seen too.
#pragma once

#include <cstddef>
#include <string>

namespace cryptlib::test {

class GuardedBuffer {
 public:
  // size bytes, all set to fill. A size of 0 gives a pointer to the guard page
  // itself: any access through it faults.
  explicit GuardedBuffer(size_t size, char fill = kFill);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // text's bytes at the very end of the guarded memory, without a zero: a
  // reader that looks for the terminator faults on the guard page.
  static GuardedBuffer Unterminated(const std::string& text);
  // text and its zero, ending at the guard page.
  static GuardedBuffer Terminated(const std::string& text);

  char* data() const { return data_; }
  size_t size() const { return size_; }
  // The buffer's bytes as a string up to its first zero (all of them when
  // there is none).
  std::string Text() const;
  // True when bytes from..size-1 still hold the fill byte.
  bool UntouchedFrom(size_t from) const;
  bool Untouched() const { return UntouchedFrom(0); }
  // True when nothing was written in front of the buffer.
  bool SlackUntouched() const;

  static constexpr char kFill = '\x5a';

 private:
  GuardedBuffer(size_t size, char fill, const std::string* text);

  char* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  char* data_ = nullptr;
  size_t size_ = 0;
  char fill_;
};

}  // namespace cryptlib::test
