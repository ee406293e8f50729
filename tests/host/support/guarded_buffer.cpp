#include "host/support/guarded_buffer.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace cryptlib::test {
namespace {

#ifdef _WIN32
size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}
// Read-write pages followed by one page that faults on any access.
char* MapGuarded(size_t size, size_t guardOffset, size_t page) {
  void* mapping = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (mapping == nullptr) throw std::runtime_error("VirtualAlloc failed");
  DWORD previous;
  if (!VirtualProtect(static_cast<char*>(mapping) + guardOffset, page, PAGE_NOACCESS, &previous)) {
    VirtualFree(mapping, 0, MEM_RELEASE);
    throw std::runtime_error("VirtualProtect failed");
  }
  return static_cast<char*>(mapping);
}
void Unmap(char* mapping, size_t) {
  VirtualFree(mapping, 0, MEM_RELEASE);
}
#else
size_t PageSize() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
char* MapGuarded(size_t size, size_t guardOffset, size_t page) {
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::runtime_error("mmap failed");
  if (mprotect(static_cast<char*>(mapping) + guardOffset, page, PROT_NONE) != 0) {
    munmap(mapping, size);
    throw std::runtime_error("mprotect failed");
  }
  return static_cast<char*>(mapping);
}
void Unmap(char* mapping, size_t size) {
  munmap(mapping, size);
}
#endif

}  // namespace

GuardedBuffer::GuardedBuffer(size_t size, char fill) : GuardedBuffer(size, fill, nullptr) {}

GuardedBuffer::GuardedBuffer(size_t size, char fill, const std::string* text) : size_(size), fill_(fill) {
  const size_t page = PageSize();
  const size_t dataPages = (size + page - 1) / page;
  // One accessible page at least, so the slack in front can be checked even
  // for an empty buffer.
  const size_t accessible = std::max<size_t>(dataPages, 1) * page;
  mappingSize_ = accessible + page;
  mapping_ = MapGuarded(mappingSize_, accessible, page);
  std::memset(mapping_, fill_, accessible);
  data_ = mapping_ + accessible - size_;
  if (text != nullptr) std::memcpy(data_, text->data(), std::min(text->size(), size_));
}

GuardedBuffer::~GuardedBuffer() {
  if (mapping_ != nullptr) Unmap(mapping_, mappingSize_);
}

GuardedBuffer GuardedBuffer::Unterminated(const std::string& text) {
  return GuardedBuffer(text.size(), kFill, &text);
}

GuardedBuffer GuardedBuffer::Terminated(const std::string& text) {
  const std::string withZero = text + '\0';
  return GuardedBuffer(withZero.size(), kFill, &withZero);
}

std::string GuardedBuffer::Text() const {
  const auto* zero = static_cast<const char*>(std::memchr(data_, 0, size_));
  return std::string(data_, zero != nullptr ? static_cast<size_t>(zero - data_) : size_);
}

bool GuardedBuffer::UntouchedFrom(size_t from) const {
  return std::all_of(data_ + std::min(from, size_), data_ + size_, [this](char c) { return c == fill_; });
}

bool GuardedBuffer::SlackUntouched() const {
  return std::all_of(mapping_, data_, [this](char c) { return c == fill_; });
}

}  // namespace cryptlib::test
