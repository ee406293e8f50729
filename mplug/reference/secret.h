// Bytes that must not outlive their use (passphrases and the keys derived
// from them): wiped with OPENSSL_cleanse when dropped or replaced.
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <utility>

namespace ref {

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string value) : value_(std::move(value)) {}
  Secret(const Secret& other) : value_(other.value_) {}
  Secret(Secret&& other) noexcept : value_(std::move(other.value_)) { other.Wipe(); }
  Secret& operator=(Secret other) noexcept {
    Wipe();
    value_.swap(other.value_);
    return *this;
  }
  ~Secret() { Wipe(); }

  const std::string& value() const { return value_; }
  bool empty() const { return value_.empty(); }

  void Wipe() {
    if (!value_.empty()) OPENSSL_cleanse(value_.data(), value_.size());
    value_.clear();
  }

 private:
  std::string value_;
};

}  // namespace ref
