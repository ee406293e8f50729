// The parameter snapshot handed to every vendor call: element i holds the
// current value of crypto parameter i+1, one element per vendor parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cryptlib {

using ParamSnapshot = std::vector<std::string>;

// A context-cache key with its hash, so that a key kept from call to call
// is not hashed again on every lookup.
struct HashedKey {
  std::string_view text;
  size_t hash;
  friend bool operator==(const HashedKey& a, const std::string& b) { return a.text == b; }
};

// The context cache's hash: std::hash of the key text, or the hash a
// HashedKey carries (made by the same function).
struct ContextKeyHash {
  using is_transparent = void;
  size_t operator()(const std::string& key) const { return std::hash<std::string_view>()(key); }
  size_t operator()(const HashedKey& key) const { return key.hash; }
};

// A snapshot an engine hands to call after call while its parameters stay
// as they are, with what the context cache derives from the values worked
// out once: the cache key (for the parameter count it was made for) and the
// context lifetime. Never changed once made, so threads share it freely.
struct KeyedSnapshot {
  ParamSnapshot values;
  int32_t keyCount = 0;
  std::string key;
  size_t keyHash = 0;
  int32_t lifetime = 0;
};

// Makes the keyed form of values, its key made for keyCount parameters.
KeyedSnapshot MakeKeyedSnapshot(ParamSnapshot values, int32_t keyCount);

// What a context-bound call is given: the values, and with them the keyed
// form when the caller keeps one. Converts from either, so callers that
// build a snapshot for one call pass it as before.
class SnapshotRef {
 public:
  SnapshotRef(const ParamSnapshot& values) : values_(values) {}                       // NOLINT: implicit by design
  SnapshotRef(const KeyedSnapshot& keyed) : values_(keyed.values), keyed_(&keyed) {}  // NOLINT: implicit by design

  const ParamSnapshot& Values() const { return values_; }
  // nullptr when the caller keeps no keyed form.
  const KeyedSnapshot* Keyed() const { return keyed_; }

 private:
  const ParamSnapshot& values_;
  const KeyedSnapshot* keyed_ = nullptr;
};

}  // namespace cryptlib
