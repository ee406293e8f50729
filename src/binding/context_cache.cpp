#include "binding/context_cache.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <mutex>
#include <utility>

#include "binding/binding_state.h"
#include "binding/mprodll.h"
#include "binding/param_numbers.h"

namespace cryptlib {
namespace {

constexpr size_t kLifetimeIndex = param::SnapshotIndex(param::kLifetime);

double Now() {
  return platform::Os().LocalDateTime();
}

// Closes every context past its own lifetime. Contexts opened for other
// parameter sets (each certificate read opens one) would otherwise stay open
// until the cache is cleared. The caller holds the cache lock for writing, so
// no call is using any of them.
void CloseExpiredContexts(BindingState& state) REQUIRES(state.cacheLock) {
  auto& cache = state.contextCache;
  const double now = Now();
  for (auto node = cache.begin(); node != cache.end();) {
    const double age = std::fabs(now - node->second->Created());
    // A lifetime of 0 ends with the call that opened the context, however
    // coarse the clock.
    const int32_t lifetime = node->second->Lifetime();
    node = lifetime == 0 || age > lifetime * kSecondsToDays ? cache.erase(node) : std::next(node);
  }
}

}  // namespace

std::string ContextKey(const ParamSnapshot& snapshot, int32_t paramCount) {
  const size_t keyed = paramCount > 1 ? std::min(static_cast<size_t>(paramCount - 1), snapshot.size()) : 0;
  if (keyed == 0) return "UnknownParamNode";
  // One allocation, no temporary strings.
  constexpr size_t kLengthDigits = 20;
  size_t capacity = 0;
  for (size_t i = 0; i < keyed; ++i) capacity += snapshot[i].size() + kLengthDigits + 1;
  std::string key;
  key.reserve(capacity);
  char digits[kLengthDigits];
  for (size_t i = 0; i < keyed; ++i) {
    key.append(digits, std::to_chars(digits, digits + sizeof digits, snapshot[i].size()).ptr);
    key += ':';
    key += snapshot[i];
  }
  return key;
}

KeyedSnapshot MakeKeyedSnapshot(ParamSnapshot values, int32_t keyCount) {
  KeyedSnapshot keyed;
  keyed.key = ContextKey(values, keyCount);
  keyed.keyHash = ContextKeyHash()(keyed.key);
  keyed.lifetime = ContextLifetime(values);
  keyed.keyCount = keyCount;
  keyed.values = std::move(values);
  return keyed;
}

int32_t ContextLifetime(const ParamSnapshot& snapshot) {
  if (snapshot.size() <= kLifetimeIndex) return 0;
  const std::string& text = snapshot[kLifetimeIndex];
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  int32_t seconds = 0;
  const auto [end, error] = std::from_chars(first, last, seconds);
  if (error != std::errc() || end != last || seconds < 0) return 0;
  return seconds;
}

MPlugContext FindContext(BindingState& state, int32_t lifetime, const std::string& key) {
  return FindContext(state, lifetime, HashedKey{key, ContextKeyHash()(key)});
}

MPlugContext FindContext(BindingState& state, int32_t lifetime, const HashedKey& key) {
  const auto found = state.contextCache.find(key);
  if (found == state.contextCache.end()) return 0;
  const TMesProCashNode& node = *found->second;
  const double age = std::fabs(Now() - node.Created());
  if (lifetime * kSecondsToDays < age) return 0;
  if (age > node.Lifetime() * kSecondsToDays) return 0;
  return node.Context();
}

MPlugContext CreateContext(BindingState& state, TMProDLL& binding, const ParamSnapshot& snapshot,
                           const std::string& key) {
  const int32_t lifetime = ContextLifetime(snapshot);
  // Another thread may have opened it while this one waited for the lock.
  if (const MPlugContext live = FindContext(state, lifetime, key)) return live;
  auto& cache = state.contextCache;
  cache.erase(key);  // closes the expired context
  CloseExpiredContexts(state);
  auto node = std::make_unique<TMesProCashNode>(binding.LibVariant());
  if (!node->Loaded() || !node->Bound()) return 0;
  const MPlugFunctions& vendor = binding.Functions();
  if (vendor.InitCrypto == nullptr || vendor.KeysRenewal == nullptr) return 0;
  const MPlugContext context = vendor.InitCrypto();
  // Owned by the node from here, so that a failure below still closes it.
  node->Open(context, lifetime, Now());
  binding.ApplyParameters(context, snapshot);
  vendor.KeysRenewal(context);
  node->Open(context, lifetime, Now());
  cache.emplace(key, std::move(node));
  return context;
}

void ClearContexts(const TMProDLL& binding) {
  BindingState& state = Binding();
  if (!state.IsLoaded(binding.LibVariant())) return;
  TMProDLL::CallScope call(binding);
  WriteGuard hold(state.cacheLock);
  state.contextCache.clear();
}

size_t CachedContextCount() {
  BindingState& state = Binding();
  ReadGuard hold(state.cacheLock);
  return state.contextCache.size();
}

}  // namespace cryptlib
