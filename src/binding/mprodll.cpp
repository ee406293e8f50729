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

int32_t TMProDLL::RequestForPSE(const PseRequest& request) {
  CallScope call(*this);
  const MPlugContext context = functions_.InitCrypto();
  // The private context is closed on every path.
  struct Closer {
    const MPlugFunctions& vendor;
    MPlugContext context;
    ~Closer() { vendor.DoneCrypto(context); }
  } closer{functions_, context};
  const auto index = [](int32_t number) { return static_cast<int32_t>(param::SnapshotIndex(number)); };
  if (!request.ownCertificate.empty())
    SetParam(functions_, context, index(param::kOwnCertificate), request.ownCertificate.c_str());
  SetParam(functions_, context, index(param::kKeyDirectory), request.keyDirectory.c_str());
  const SubjectFields& subject = request.subject;
  const std::pair<int32_t, const std::string*> fields[] = {
      {param::kCommonName, &subject.cn}, {param::kCountry, &subject.c},      {param::kState, &subject.s},
      {param::kLocality, &subject.l},    {param::kOrganisation, &subject.o}, {param::kUnit, &subject.ou},
      {param::kEmail, &subject.e}};
  for (const auto& [number, value] : fields) SetParam(functions_, context, index(number), value->c_str());
  if (functions_.GetCryptoParamNumber() >= kMinCountForT)
    SetParam(functions_, context, kParamIndexWithT, subject.t.c_str());
  SetParam(functions_, context, index(param::kFlag), request.flag.c_str());
  return functions_.MakeRequestForPSE(context, request.keyDirectory.c_str(), request.requestFile.c_str());
}

void TMProDLL::ClearContexts() {
  cryptlib::ClearContexts(*this);
}

}  // namespace cryptlib
