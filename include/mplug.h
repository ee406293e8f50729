/* The vendor crypto module (mplug.dll, mplugf.dll, mplug2.dll; mplug*.so on
 * POSIX) as the engine sees it: the calling convention, the 47 functions the
 * engine binds by name, and the information records the module fills.
 *
 * The module is ours to replace: whatever takes its place exports these names
 * with these argument lists. A module written in C++ can declare its functions
 * with the typedefs below (MPLUG_CHECK_SIGNATURE) so that a mismatch does not
 * compile.
 *
 * Plain C: usable from C and C++. */
#ifndef CRYPTLIB_MPLUG_H
#define CRYPTLIB_MPLUG_H

#include <stddef.h>
#include <stdint.h>

/* The module's functions use the Windows standard calling convention on
 * 32-bit Windows (the callee removes the arguments); elsewhere there is only
 * one convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define MPLUG_CALL __stdcall
#else
#define MPLUG_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A context is a 32-bit handle that InitCrypto returns; 0 means none. */
typedef int32_t MPlugContext;

/* A distinguished name as eight text pointers owned by the module; each may be
 * null or empty. 32 bytes on 32-bit systems. */
typedef struct MPlugNameRecord {
  const char* country;            /* C  */
  const char* state;              /* S  */
  const char* locality;           /* L  */
  const char* organisation;       /* O  */
  const char* organisationalUnit; /* OU */
  const char* title;              /* T  */
  const char* commonName;         /* CN */
  const char* email;              /* E  */
} MPlugNameRecord;

/* Filled by GetCertInfoEx, released by FreeCertInfo. The engine zero-fills it
 * before the call and reads only the named fields. 96 bytes on 32-bit. */
typedef struct MPlugCertInfo {
  void* reserved0;
  const char* serialNumber;
  const char* validFrom; /* "DD.MM.YYYY hh:mm:ss" */
  const char* validTo;
  MPlugNameRecord issuer;
  MPlugNameRecord subject;
  const char* publicKey; /* free text, "Public Key Algorithm: " line first */
  void* reserved1[3];
} MPlugCertInfo;

/* Filled by GetReqInfo, released by FreeReqInfo. 48 bytes on 32-bit. */
typedef struct MPlugReqInfo {
  void* reserved0;
  MPlugNameRecord subject;
  const char* publicKey;
  void* reserved1[2];
} MPlugReqInfo;

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
#define MPLUG_STATIC_ASSERT static_assert
#else
#define MPLUG_STATIC_ASSERT _Static_assert
#endif
MPLUG_STATIC_ASSERT(sizeof(MPlugNameRecord) == 32, "name record is 32 bytes");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, country) == 0, "C at 0");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, state) == 4, "S at 4");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, locality) == 8, "L at 8");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, organisation) == 12, "O at 12");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, organisationalUnit) == 16, "OU at 16");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, title) == 20, "T at 20");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, commonName) == 24, "CN at 24");
MPLUG_STATIC_ASSERT(offsetof(MPlugNameRecord, email) == 28, "E at 28");
MPLUG_STATIC_ASSERT(sizeof(MPlugCertInfo) == 96, "certificate record is 96 bytes");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, serialNumber) == 4, "serial number at 4");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, validFrom) == 8, "validity start at 8");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, validTo) == 12, "validity end at 12");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, issuer) == 16, "issuer at 16");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, subject) == 48, "subject at 48");
MPLUG_STATIC_ASSERT(offsetof(MPlugCertInfo, publicKey) == 80, "public key at 80");
MPLUG_STATIC_ASSERT(sizeof(MPlugReqInfo) == 48, "request record is 48 bytes");
MPLUG_STATIC_ASSERT(offsetof(MPlugReqInfo, subject) == 4, "subject at 4");
MPLUG_STATIC_ASSERT(offsetof(MPlugReqInfo, publicKey) == 36, "public key at 36");
#undef MPLUG_STATIC_ASSERT
#endif

/* Optional functions may be missing from a module; the engine tests them
 * before each use. */
#define MPLUG_MANDATORY 1
#define MPLUG_OPTIONAL 0

/* The 47 functions in binding order: X(number, Name, mandatory, return type,
 * (parameters)). Every function returns int32_t. "VerifyDataIgnoreTime" (41)
 * is bound only for the modules of variants 1 and 2. Functions the engine
 * binds but never calls carry the argument lists the module exports. */
#define MPLUG_FUNCTION_LIST(X)                                                                                         \
  X(1, GetMaxEncodeAddition, MPLUG_MANDATORY, int32_t, (void))                                                         \
  X(2, GetMaxSignatureLength, MPLUG_MANDATORY, int32_t, (void))                                                        \
  X(3, GetMaxUIDLength, MPLUG_MANDATORY, int32_t, (void))                                                              \
  X(4, GetMaxPasswordLength, MPLUG_MANDATORY, int32_t, (void))                                                         \
  X(5, GetMaxCryptoParamNameLength, MPLUG_MANDATORY, int32_t, (void))                                                  \
  X(6, GetMaxCryptoParamValueLength, MPLUG_MANDATORY, int32_t, (void))                                                 \
  X(7, GetMaxErrorStringLength, MPLUG_MANDATORY, int32_t, (void))                                                      \
  X(8, GetCryptoErrorString, MPLUG_MANDATORY, int32_t, (int32_t code, char* text))                                     \
  X(9, GetLastErrorMessage, MPLUG_MANDATORY, int32_t, (MPlugContext context, char* text))                              \
  X(10, SetRootPath, MPLUG_MANDATORY, int32_t, (const char* rootPath))                                                 \
  X(11, GetCurrentUID, MPLUG_MANDATORY, int32_t, (MPlugContext context, char* uid))                                    \
  X(12, GetMaxFileNameLength, MPLUG_MANDATORY, int32_t, (void))                                                        \
  X(13, SetPasswordRequestFunc, MPLUG_MANDATORY, int32_t, (void* requestFunc))                                         \
  X(14, InitCrypto, MPLUG_MANDATORY, MPlugContext, (void))                                                             \
  X(15, DoneCrypto, MPLUG_MANDATORY, int32_t, (MPlugContext context))                                                  \
  X(16, EncodeData, MPLUG_MANDATORY, int32_t,                                                                          \
    (MPlugContext context, void* data, int32_t* length, const char* recipients))                                       \
  X(17, DecodeData, MPLUG_MANDATORY, int32_t, (MPlugContext context, void* data, int32_t* length, char* uid))          \
  X(18, SignData, MPLUG_MANDATORY, int32_t,                                                                            \
    (MPlugContext context, const void* data, int32_t length, void* signature, int32_t* signatureLength,                \
     const char* signer))                                                                                              \
  X(19, VerifyData, MPLUG_MANDATORY, int32_t,                                                                          \
    (MPlugContext context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,          \
     char* uid))                                                                                                       \
  X(20, RemoveSignaturesFromFile, MPLUG_MANDATORY, int32_t, (MPlugContext context, const char* fileName))              \
  X(21, GetCryptoParamNumber, MPLUG_MANDATORY, int32_t, (void))                                                        \
  X(22, GetCryptoParamName, MPLUG_MANDATORY, int32_t, (MPlugContext context, int32_t index, char* name))               \
  X(23, GetCryptoParamValue, MPLUG_MANDATORY, int32_t, (MPlugContext context, int32_t index, char* value))             \
  X(24, SetCryptoParamValue, MPLUG_MANDATORY, int32_t, (MPlugContext context, int32_t index, const char* value))       \
  X(25, GenerateNewSSK, MPLUG_MANDATORY, int32_t, (MPlugContext context, char* text))                                  \
  X(26, GenerateNewSEK, MPLUG_MANDATORY, int32_t, (MPlugContext context, char* text))                                  \
  X(27, IncludePublicKey, MPLUG_MANDATORY, int32_t, (MPlugContext context, const char* fileName))                      \
  X(28, IncludePublicEncodeKey, MPLUG_MANDATORY, int32_t, (MPlugContext context, const char* fileName))                \
  X(29, IsDifferentKeys, MPLUG_MANDATORY, int32_t, (MPlugContext context))                                             \
  X(30, GetCertificateByUID, MPLUG_MANDATORY, int32_t,                                                                 \
    (MPlugContext context, const char* uid, void* certificate, int32_t* length))                                       \
  X(31, GetMaxCertificateLength, MPLUG_MANDATORY, int32_t, (void))                                                     \
  X(32, GetMaxCertInfoLength, MPLUG_MANDATORY, int32_t, (void))                                                        \
  X(33, GetCertInfo, MPLUG_MANDATORY, int32_t,                                                                         \
    (MPlugContext context, const void* certificate, int32_t length, char* info))                                       \
  X(34, KeysRenewal, MPLUG_MANDATORY, int32_t, (MPlugContext context))                                                 \
  X(35, MakeRequestForPSE, MPLUG_MANDATORY, int32_t,                                                                   \
    (MPlugContext context, const char* keyDirectory, const char* requestFile))                                         \
  X(36, CertificateAndPrivateKeyMatch, MPLUG_MANDATORY, int32_t,                                                       \
    (MPlugContext context, const char* certificateFile, const char* keyFile))                                          \
  X(37, CertificateAndPSePrivateKeyMatch, MPLUG_MANDATORY, int32_t,                                                    \
    (MPlugContext context, const char* certificateFile, const char* keyDirectory))                                     \
  X(38, CertificateAndPSePrivateKeysMatch, MPLUG_MANDATORY, int32_t,                                                   \
    (MPlugContext context, const char* certificateFile, const char* keyDirectory, char* text))                         \
  X(39, CertificateAndRequestMatch, MPLUG_MANDATORY, int32_t,                                                          \
    (MPlugContext context, const char* certificateFile, const char* requestFile))                                      \
  X(40, PSePrivateKeyBackup, MPLUG_MANDATORY, int32_t, (MPlugContext context, const char* mediaDirectory, char* text)) \
  X(41, VerifyDataIgnoreTime, MPLUG_OPTIONAL, int32_t,                                                                 \
    (MPlugContext context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,          \
     char* uid))                                                                                                       \
  X(42, GetCRLIssuerName, MPLUG_MANDATORY, int32_t, (MPlugContext context, const char* crlFile, char* issuer))         \
  X(43, LoadCertificate, MPLUG_OPTIONAL, int32_t, (MPlugContext context, const void* data, int32_t length))            \
  X(44, GetCertInfoEx, MPLUG_OPTIONAL, int32_t,                                                                        \
    (MPlugContext context, const void* certificate, int32_t length, MPlugCertInfo* info))                              \
  X(45, FreeCertInfo, MPLUG_OPTIONAL, int32_t, (MPlugContext context, MPlugCertInfo * info))                           \
  X(46, GetReqInfo, MPLUG_OPTIONAL, int32_t,                                                                           \
    (MPlugContext context, const void* request, int32_t length, MPlugReqInfo* info))                                   \
  X(47, FreeReqInfo, MPLUG_OPTIONAL, int32_t, (MPlugContext context, MPlugReqInfo * info))

#define MPLUG_FUNCTION_COUNT 47

/* Pointer types MPlug_<Name>_Fn. */
#define MPLUG_DECLARE_POINTER_TYPE(number, name, mandatory, result, params) \
  typedef result(MPLUG_CALL* MPlug_##name##_Fn) params;
MPLUG_FUNCTION_LIST(MPLUG_DECLARE_POINTER_TYPE)
#undef MPLUG_DECLARE_POINTER_TYPE

#ifdef __cplusplus
} /* extern "C" */

/* For a module's own source: fails to compile when the module's function
 * differs from the engine's pointer type. Use as
 * MPLUG_FUNCTION_LIST(MPLUG_CHECK_SIGNATURE) after the definitions. */
#define MPLUG_CHECK_SIGNATURE(number, name, mandatory, result, params)                      \
  static_assert(sizeof(static_cast<MPlug_##name##_Fn>(&name)) == sizeof(MPlug_##name##_Fn), \
                #name " does not match its MPlug_" #name "_Fn type");
#endif

#endif /* CRYPTLIB_MPLUG_H */
