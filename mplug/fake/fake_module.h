// Internal declarations of the fake vendor module: the 47 exported functions
// (declared from the engine's own list, so a definition with another signature
// does not compile), the flavour this build is, and the module's fixed limits.
#pragma once

#include <cstdint>

#include "fake_hooks.h"
#include "mplug.h"

#define FAKE_DECLARE_EXPORT(number, name, mandatory, result, params) \
  extern "C" FAKE_EXPORT result MPLUG_CALL name params;
MPLUG_FUNCTION_LIST(FAKE_DECLARE_EXPORT)
#undef FAKE_DECLARE_EXPORT

namespace fake {

// What distinguishes the flavours at run time; defined per flavour (flavour.cpp).
struct Flavour {
  int32_t paramCount;  // what GetCryptoParamNumber answers
  bool threadSafe;     // file version above 1.0.0.0: concurrent calls are allowed
};
const Flavour& ThisFlavour();

// The answers of the size queries. Every buffer the module fills is bounded by
// the matching value, and the data it produces never grows by more.
inline constexpr int32_t kMaxEncodeAddition = 4096;
inline constexpr int32_t kMaxSignatureLength = 1024;
inline constexpr int32_t kMaxUidLength = 256;
inline constexpr int32_t kMaxPasswordLength = 64;
inline constexpr int32_t kMaxParamNameLength = 64;
inline constexpr int32_t kMaxParamValueLength = 1024;
inline constexpr int32_t kMaxErrorStringLength = 256;
inline constexpr int32_t kMaxFileNameLength = 1024;
inline constexpr int32_t kMaxCertificateLength = 8192;
inline constexpr int32_t kMaxCertInfoLength = 8192;
// The text buffer the engine hands to GenerateNewSEK and GenerateNewSSK.
inline constexpr int32_t kGenerationTextLength = 260;

// 0-based parameter indexes the module reads.
enum ParamIndex : int32_t {
  kParamOwnCertificate = 0,
  kParamCertificateDir = 1,
  kParamKeyDir = 2,
  kParamRequestFile = 8,
  kParamSubjectC = 10,
  kParamSubjectS = 11,
  kParamSubjectL = 12,
  kParamSubjectO = 13,
  kParamSubjectOU = 14,
  kParamSubjectCN = 15,
  kParamSubjectE = 16,
  kParamUidField = 19,
  kParamKeyMedia = 22,
  kParamSubjectT = 23,
};

}  // namespace fake
