// The calls the engine makes on cached vendor contexts.
#include <algorithm>
#include <cstring>
#include <vector>

#include "binding/binding_state.h"
#include "binding/context_cache.h"
#include "binding/info_text.h"
#include "binding/mprodll.h"
#include "support/exceptions.h"

namespace cryptlib {
namespace {

// What a generation hands the module: room for a path, holding an empty text.
constexpr size_t kGenerationTextSize = 260;

}  // namespace

void TMProDLL::NoteFailure(MPlugContext context) {
  if (errorLog_ == nullptr || functions_.GetLastErrorMessage == nullptr) return;
  const int32_t size = std::max(functions_.GetMaxErrorStringLength(), 0);
  std::vector<char> text(static_cast<size_t>(size) + 1, '\0');
  functions_.GetLastErrorMessage(context, text.data());
  text.back() = '\0';
  errorLog_->Record(text.data());
}

template <class Call>
int32_t TMProDLL::WithCachedContext(SnapshotRef snapshot, int32_t noContextResult, Call&& call, bool noteFailure) {
  Assert(bound_, "vendor module is bound", "mprodll");
  CallScope callScope(*this);
  BindingState& state = Binding();
  const int32_t count = functions_.GetCryptoParamNumber();
  const KeyedSnapshot* keyed = snapshot.Keyed();
  const bool keyKept = keyed != nullptr && keyed->keyCount == count;
  std::string madeKey;
  if (!keyKept) madeKey = ContextKey(snapshot.Values(), count);
  const std::string& key = keyKept ? keyed->key : madeKey;
  const int32_t lifetime = keyed != nullptr ? keyed->lifetime : ContextLifetime(snapshot.Values());
  auto run = [&](MPlugContext context) {
    const int32_t result = call(context);
    if (result != 0 && noteFailure) NoteFailure(context);
    return result;
  };
  {
    // The usual case: a live context, used under a shared hold.
    ReadGuard hold(state.cacheLock);
    const HashedKey hashed{key, keyKept ? keyed->keyHash : ContextKeyHash()(key)};
    if (const MPlugContext context = FindContext(state, lifetime, hashed)) return run(context);
  }
  WriteGuard hold(state.cacheLock);
  if (const MPlugContext context = CreateContext(state, *this, snapshot.Values(), key)) return run(context);
  return noContextResult;
}

int32_t TMProDLL::EncodeData(SnapshotRef snapshot, void* data, int32_t* length, const char* recipients) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.EncodeData(context, data, length, recipients);
  });
}

int32_t TMProDLL::DecodeData(SnapshotRef snapshot, void* data, int32_t* length, char* uid) {
  return WithCachedContext(snapshot, kBindingNoContext,
                           [&](MPlugContext context) { return functions_.DecodeData(context, data, length, uid); });
}

int32_t TMProDLL::SignData(SnapshotRef snapshot, const void* data, int32_t length, void* signature,
                           int32_t* signatureLength, const char* signer) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.SignData(context, data, length, signature, signatureLength, signer);
  });
}

int32_t TMProDLL::VerifyData(SnapshotRef snapshot, const void* data, int32_t* length, const void* signature,
                             int32_t signatureLength, char* uid) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.VerifyData(context, data, length, signature, signatureLength, uid);
  });
}

int32_t TMProDLL::VerifyDataIgnoreTime(SnapshotRef snapshot, const void* data, int32_t* length, const void* signature,
                                       int32_t signatureLength, char* uid) {
  if (functions_.VerifyDataIgnoreTime == nullptr) return kBindingNotInitialized;
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.VerifyDataIgnoreTime(context, data, length, signature, signatureLength, uid);
  });
}

int32_t TMProDLL::GetCurrentUID(SnapshotRef snapshot, char* uid) {
  return WithCachedContext(snapshot, kBindingNoContext,
                           [&](MPlugContext context) { return functions_.GetCurrentUID(context, uid); });
}

int32_t TMProDLL::GetCertificateByUID(const ParamSnapshot& snapshot, const char* uid, void* certificate,
                                      int32_t* length) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.GetCertificateByUID(context, uid, certificate, length);
  });
}

int32_t TMProDLL::GetCertInfo(const ParamSnapshot& snapshot, const void* certificate, int32_t length, char* info) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.GetCertInfo(context, certificate, length, info);
  });
}

int32_t TMProDLL::GetCRLIssuerName(const ParamSnapshot& snapshot, const char* crlFile, char* issuer) {
  return WithCachedContext(snapshot, kBindingNoContext,
                           [&](MPlugContext context) { return functions_.GetCRLIssuerName(context, crlFile, issuer); });
}

int32_t TMProDLL::PSePrivateKeyBackup(const ParamSnapshot& snapshot, const char* mediaDirectory, char* text) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.PSePrivateKeyBackup(context, mediaDirectory, text);
  });
}

int32_t TMProDLL::CertificateAndPSePrivateKeysMatch(const ParamSnapshot& snapshot, const char* certificateFile,
                                                    const char* keyDirectory, char* text) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    return functions_.CertificateAndPSePrivateKeysMatch(context, certificateFile, keyDirectory, text);
  });
}

bool TMProDLL::CertificateAndRequestMatch(const ParamSnapshot& snapshot, const char* certificateFile,
                                          const char* requestFile) {
  const int32_t matched = WithCachedContext(
      snapshot, 0,
      [&](MPlugContext context) {
        return functions_.CertificateAndRequestMatch(context, certificateFile, requestFile) != 0 ? 1 : 0;
      },
      false);
  return matched != 0;
}

int32_t TMProDLL::GetLastErrorMessage(const ParamSnapshot& snapshot, char* text) {
  WithCachedContext(
      snapshot, 0, [&](MPlugContext context) { return functions_.GetLastErrorMessage(context, text); }, false);
  return 0;
}

int32_t TMProDLL::GenerateKey(const ParamSnapshot& snapshot, MPlug_GenerateNewSEK_Fn generate) {
  return WithCachedContext(snapshot, kBindingNoContext, [&](MPlugContext context) {
    char text[kGenerationTextSize] = {};
    const int32_t result = generate(context, text);
    return result == 0 ? kBindingNotFinalized : result;
  });
}

int32_t TMProDLL::GenerateNewSEK(const ParamSnapshot& snapshot) {
  return GenerateKey(snapshot, functions_.GenerateNewSEK);
}

int32_t TMProDLL::GenerateNewSSK(const ParamSnapshot& snapshot) {
  return GenerateKey(snapshot, functions_.GenerateNewSSK);
}

int32_t TMProDLL::LoadCertificateIntoContext(const ParamSnapshot& snapshot, const void* data, int32_t length) {
  if (functions_.LoadCertificate == nullptr) {
    ClearContexts();
    return 0;
  }
  CallScope callScope(*this);
  BindingState& state = Binding();
  const std::string key = ContextKey(snapshot, functions_.GetCryptoParamNumber());
  ReadGuard hold(state.cacheLock);
  const MPlugContext context = FindContext(state, ContextLifetime(snapshot), key);
  return context != 0 ? functions_.LoadCertificate(context, data, length) : 0;
}

template <class Info, class Fill, class Release, class Format>
int32_t TMProDLL::InfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text,
                           Fill fill, Release release, Format format) {
  text.clear();
  if (fill == nullptr || release == nullptr) return kBindingNotInitialized;
  return WithCachedContext(snapshot, kBindingNotInitialized, [&](MPlugContext context) {
    Info info;
    std::memset(&info, 0, sizeof info);
    int32_t result = 0;
    try {
      result = fill(context, data, length, &info);
      if (result == 0) text = format(info);
    } catch (...) {
      release(context, &info);
      throw;
    }
    release(context, &info);
    return result;
  });
}

int32_t TMProDLL::CertInfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text) {
  return InfoText<MPlugCertInfo>(snapshot, data, length, text, functions_.GetCertInfoEx, functions_.FreeCertInfo,
                                 CertInfoLines);
}

int32_t TMProDLL::RequestInfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text) {
  return InfoText<MPlugReqInfo>(snapshot, data, length, text, functions_.GetReqInfo, functions_.FreeReqInfo,
                                RequestInfoLines);
}

}  // namespace cryptlib
