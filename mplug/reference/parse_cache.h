// Parsed files shared between the module's contexts.
//
// A context parses its own certificate, its key container, the certificate
// directory and the trust store on first use. What that produces depends only
// on the files read, so the results are kept here, process-wide, under the
// state of those files: device and inode, size and modification time in
// nanoseconds. A file that differs in any of these is read again; a context
// opened after the change gets the new content.
//
// A file modified less than kSettleTime before it was looked at is parsed but
// not kept: a rewrite within one tick of the file system's clock may leave
// size and time as they were, and could otherwise go unnoticed.
//
// A value with an `expires` member (a steady_clock time point: keys opened
// with a passphrase) is handed out and kept only until then; an expired one
// is dropped at the next look at the table.
//
// Thread safety: any thread, any number of contexts. The lock covers the
// table only; files are read and parsed without it, and the values handed
// out are immutable and shared.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ref {

constexpr std::chrono::nanoseconds kSettleTime = std::chrono::seconds(2);

// The state of the files a parse read: for each, its name and what stat
// reported (or that it is missing), in the order they were added.
class FileSet {
 public:
  FileSet() : lookedAt_(Now()) {}

  // Whether the file exists.
  bool Add(const std::string& nativePath) {
    struct stat status {};
    Stamp stamp{};
    if (::stat(nativePath.c_str(), &status) == 0) {
      stamp.present = 1;
      stamp.device = static_cast<uint64_t>(status.st_dev);
      stamp.inode = static_cast<uint64_t>(status.st_ino);
      stamp.size = static_cast<int64_t>(status.st_size);
      stamp.modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
      if (stamp.modified > lookedAt_ - kSettleTime.count()) settled_ = false;
    }
    fingerprint_.append(nativePath);
    fingerprint_.push_back('\0');
    fingerprint_.append(reinterpret_cast<const char*>(&stamp), sizeof stamp);
    return stamp.present != 0;
  }

  // Equal fingerprints: the same files in the same states.
  const std::string& Fingerprint() const { return fingerprint_; }
  // No file was modified within kSettleTime before the set was started (or
  // after it).
  bool Settled() const { return settled_; }

 private:
  // Packed without padding, so that the bytes compare as the fields do.
  struct Stamp {
    uint64_t present;
    uint64_t device;
    uint64_t inode;
    int64_t size;
    int64_t modified;
  };

  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  int64_t lookedAt_;
  bool settled_ = true;
  std::string fingerprint_;
};

// Values parsed from files, by a key naming what was parsed (a path, or the
// directories of a trust store). At most capacity entries: a new one pushes
// out the one used longest ago.
template <class T>
class SharedParses {
 public:
  using Value = std::shared_ptr<const T>;

  explicit SharedParses(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}
  SharedParses(const SharedParses&) = delete;
  SharedParses& operator=(const SharedParses&) = delete;

  // The value kept for key from exactly these file states, else load()'s;
  // that one is kept when the files have settled. A load that throws or
  // answers nullptr keeps nothing.
  template <class Load>
  Value Get(const std::string& key, const FileSet& files, Load&& load) {
    if (Value kept = Find(key, files.Fingerprint())) return kept;
    Value loaded = load();
    if (loaded && files.Settled() && !Expired(*loaded)) Keep(key, files.Fingerprint(), loaded);
    return loaded;
  }

  // Drops every kept value.
  void Clear() {
    std::unordered_map<std::string, Entry> dropped;  // released after the lock
    std::lock_guard lock(mutex_);
    dropped.swap(entries_);
  }

  // Drops the values whose time has passed.
  void DropExpired() {
    std::vector<Value> dropped;  // released after the lock
    std::lock_guard lock(mutex_);
    TakeExpired(dropped);
  }

  size_t Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    std::string fingerprint;
    Value value;
    uint64_t used = 0;
  };

  static bool Expired(const T& value) {
    if constexpr (requires { value.expires; }) {
      return value.expires <= std::chrono::steady_clock::now();
    } else {
      return false;
    }
  }

  // Expired values go; they are released after the lock.
  void TakeExpired(std::vector<Value>& dropped) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (Expired(*it->second.value)) {
        dropped.push_back(std::move(it->second.value));
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }

  Value Find(const std::string& key, const std::string& fingerprint) {
    std::vector<Value> dropped;  // released after the lock
    std::lock_guard lock(mutex_);
    TakeExpired(dropped);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.fingerprint != fingerprint) return nullptr;
    it->second.used = ++clock_;
    return it->second.value;
  }

  void Keep(const std::string& key, const std::string& fingerprint, Value value) {
    Value evicted, replaced;  // released after the lock
    std::vector<Value> dropped;
    std::lock_guard lock(mutex_);
    TakeExpired(dropped);
    auto it = entries_.find(key);
    if (it == entries_.end()) {
      if (entries_.size() >= capacity_) {
        auto oldest = entries_.begin();
        for (auto e = entries_.begin(); e != entries_.end(); ++e) {
          if (e->second.used < oldest->second.used) oldest = e;
        }
        evicted = std::move(oldest->second.value);
        entries_.erase(oldest);
      }
      it = entries_.emplace(key, Entry()).first;
    }
    replaced = std::exchange(it->second.value, std::move(value));
    it->second.fingerprint = fingerprint;
    it->second.used = ++clock_;
  }

  const size_t capacity_;
  mutable std::mutex mutex_;
  uint64_t clock_ = 0;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace ref
