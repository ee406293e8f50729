#include "binding/mprodll.h"

#include <mutex>
#include <utility>

#include "binding/binding_state.h"
#include "binding/context_cache.h"
#include "binding/keyset_exchange.h"
#include "binding/param_numbers.h"
#include "support/exceptions.h"

namespace cryptlib {
namespace {

constexpr int32_t kParamIndexWithT = static_cast<int32_t>(param::SnapshotIndex(param::kTitle));
constexpr int32_t kMinCountForT = param::kTitle;

// Sets one vendor parameter; a null value is passed as an empty text.
void SetParam(const MPlugFunctions& vendor, MPlugContext context, int32_t index, const char* value) {
  vendor.SetCryptoParamValue(context, index, value != nullptr ? value : "");
}

void SetParamIfGiven(const MPlugFunctions& vendor, MPlugContext context, int32_t index, const char* value) {
  if (value != nullptr) SetParam(vendor, context, index, value);
}

}  // namespace

TMProDLL::TMProDLL(int32_t libVariant) : libVariant_(libVariant) {
  BindingState& state = Binding();
  std::lock_guard<std::mutex> hold(state.loadLock);
  bool loadedNow = false;
  if (state.AcquireLibraryLocked(libVariant, &loadedNow) == nullptr) return;
  loaded_ = true;
  if (loadedNow && libVariant != 0) state.CheckVersionLocked(libVariant);
  const ResolvedFunctions& resolved = state.FunctionsLocked(libVariant);
  functions_ = resolved.table;
  bound_ = resolved.bound;
}

TMProDLL::~TMProDLL() {
  if (context_ == 0 || !Binding().IsLoaded(libVariant_) || functions_.DoneCrypto == nullptr) return;
  CallScope call(*this);
  functions_.DoneCrypto(context_);
}

bool TMProDLL::ThreadSafe() const {
  return libVariant_ > 0 && Binding().libraryThreadSafe;
}

bool TMProDLL::Is2x() const {
  return libVariant_ == 2 && Binding().libraryThreadSafe;
}

TMProDLL::CallScope::CallScope(const TMProDLL& binding) : locked_(!binding.ThreadSafe()) {
  if (locked_) Binding().callLock.lock();
}

TMProDLL::CallScope::~CallScope() {
  if (locked_) Binding().callLock.unlock();
}

MPlugContext TMProDLL::EnsureOwnContext() {
  if (context_ == 0) {
    Assert(functions_.InitCrypto != nullptr, "InitCrypto is bound", "mprodll");
    CallScope call(*this);
    context_ = functions_.InitCrypto();
  }
  return context_;
}

int32_t TMProDLL::GetParamName(int32_t index, char* name) {
  if (EnsureOwnContext() == 0) return kBindingNoContext;
  CallScope call(*this);
  return functions_.GetCryptoParamName(context_, index, name);
}

int32_t TMProDLL::MaxCertificateSize() {
  CallScope call(*this);
  return functions_.GetMaxCertificateLength() + functions_.GetMaxCertInfoLength();
}

int32_t TMProDLL::MaxCertInfoSize() {
  CallScope call(*this);
  return functions_.GetMaxCertInfoLength();
}

void TMProDLL::ApplyParameters(MPlugContext context, const ParamSnapshot& snapshot) {
  // Every context learns its key directory here, before the module reads a
  // key: a key-set exchange a killed process left half-done is finished or
  // undone first.
  constexpr size_t kKeyDirectoryIndex = param::SnapshotIndex(param::kKeyDirectory);
  if (snapshot.size() > kKeyDirectoryIndex) RecoverKeySetExchange(snapshot[kKeyDirectoryIndex]);
  const int32_t count = functions_.GetCryptoParamNumber();
  for (int32_t i = 0; i < count; ++i) {
    // A snapshot shorter than the module's count would otherwise be read past
    // its end; the missing values are passed as empty texts.
    const size_t position = static_cast<size_t>(i);
    SetParam(functions_, context, i, position < snapshot.size() ? snapshot[position].c_str() : "");
  }
}

int32_t TMProDLL::RequestForPSE(const char* value0, const char* keyDirectory, const char* value15, const char* value10,
                                const char* value11, const char* value12, const char* value13, const char* value14,
                                const char* value16, const char* value23, const char* requestFile,
                                const char* value20) {
  CallScope call(*this);
  const MPlugContext context = functions_.InitCrypto();
  // The private context is closed on every path.
  struct Closer {
    const MPlugFunctions& vendor;
    MPlugContext context;
    ~Closer() { vendor.DoneCrypto(context); }
  } closer{functions_, context};
  if (value0 != nullptr && *value0 != '\0') SetParam(functions_, context, 0, value0);
  SetParam(functions_, context, 2, keyDirectory);
  const std::pair<int32_t, const char*> subject[] = {{15, value15}, {10, value10}, {11, value11}, {12, value12},
                                                     {13, value13}, {14, value14}, {16, value16}};
  for (const auto& [index, value] : subject) SetParamIfGiven(functions_, context, index, value);
  if (value23 != nullptr && functions_.GetCryptoParamNumber() >= kMinCountForT)
    SetParam(functions_, context, kParamIndexWithT, value23);
  SetParam(functions_, context, 20, value20);
  return functions_.MakeRequestForPSE(context, keyDirectory != nullptr ? keyDirectory : "",
                                      requestFile != nullptr ? requestFile : "");
}

void TMProDLL::ClearContexts() {
  cryptlib::ClearContexts(*this);
}

}  // namespace cryptlib
