/* CryptLib: the crypto engine's exported interface.
 *
 * A host loads the engine library at run time, obtains an engine handle from
 * GetCryptObj, passes it as the first argument of every other export and
 * releases it with DoneEngine. Every export answers a 32-bit status (0 is
 * success, negative values are the codes below or the vendor module's own),
 * a size, or nothing. No exception ever leaves the library.
 *
 * Strings are zero-terminated 8-bit strings; output buffers belong to the host,
 * which sizes them with the GetMax... exports.
 */
#ifndef CRYPTLIB_H
#define CRYPTLIB_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define CRYPTLIB_CALL __stdcall
#else
#define CRYPTLIB_CALL
#endif

#if defined(CRYPTLIB_BUILDING)
#if defined(_WIN32)
/* Windows takes the names and ordinals from the module definition file. */
#define CRYPTLIB_EXPORT
#else
#define CRYPTLIB_EXPORT __attribute__((visibility("default")))
#endif
#else
#define CRYPTLIB_EXPORT
#endif

#define CRYPTLIB_API CRYPTLIB_EXPORT

#ifdef __cplusplus
extern "C" {
#endif

typedef void* CRYPT_HANDLE;

/* Status codes of the engine (the vendor module's own codes pass through). */
enum {
  CE_OK = 0,
  CE_UNSUPPORTED = -1,
  CE_BIND_NOT_INITIALIZED = -1, /* the binding's text for -1 */
  CE_BIND_EXCEPTION = -2,
  CE_BIND_BAD_PARAMETERS = -3,
  CE_BIND_NO_SIGN_CONTEXT = -4,
  CE_BIND_SIGNATURE_NOT_FOUND = -5,
  CE_BIND_NO_PRIVATE_KEY = -6,
  CE_NOT_INITIALIZED = -100,
  CE_BAD_ARGUMENT = -101,
  CE_EXCEPTION = -102,
  CE_STRING_LENGTH = -103,
  CE_BAD_SETTINGS = -104,
  CE_RESERVED_105 = -105,
  CE_WRITE_FAILED = -106,
  CE_KEY_FILE_IO = -107,
  CE_NO_RECIPIENTS = -108,
  CE_REMOTE_PATH = -109,
  CE_BAD_UID = -110,
  CE_PUBLIC_KEY_NOT_FOUND = -111,
  CE_TRANSFER_EXTRACT = -112,
  CE_CERT_NOT_FOUND = -113,
  CE_NEW_KEY_NOT_FOUND = -114,
  CE_REMOTE_DIR_IO = -115,
  CE_EXCHANGE_IO = -116,
  CE_LOW_MEMORY = -117,
  CE_KEY_UTILITY = -118,
  CE_CERT_KEY_MISMATCH = -119,
  CE_REMOVE_SELF = -120,
  CE_TEMP_SAVE = -121,
  CE_TEMP_DIR = -122,
  CE_CRL_DIR = -123,
  CE_CRL_NOT_FOUND = -124,
  CE_CRL_BAD = -125,
  CE_PARAM_INDEX = -126,
  CE_LOAD_FAILED = -127,
  CE_BIND_FAILED = -128
};

/* 1 */ CRYPTLIB_API CRYPT_HANDLE CRYPTLIB_CALL GetCryptObj(void);
/* 2 */ CRYPTLIB_API void CRYPTLIB_CALL DoneEngine(CRYPT_HANDLE h);
/* 3 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxEncodeAddition(CRYPT_HANDLE h);
/* 4 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxSignatureLength(CRYPT_HANDLE h);
/* 5 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxUIDLength(CRYPT_HANDLE h);
/* 6 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxCryptoParamNameLength(CRYPT_HANDLE h);
/* 7 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxCryptoParamValueLength(CRYPT_HANDLE h);
/* 8 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxErrorStringLength(CRYPT_HANDLE h);
/* 9 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetCryptoParamNumber(CRYPT_HANDLE h);
/* 10 */ CRYPTLIB_API void CRYPTLIB_CALL GetCryptoParamName(CRYPT_HANDLE h, int32_t index, char* name);
/* 11 */ CRYPTLIB_API void CRYPTLIB_CALL GetCryptoParamValue(CRYPT_HANDLE h, int32_t index, char* value);
/* 12 */ CRYPTLIB_API int32_t CRYPTLIB_CALL SetCryptoParamValue(CRYPT_HANDLE h, int32_t index, const char* value);
/* 13 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetEncodeUIDBySignUID(CRYPT_HANDLE h, const char* signUid, char* uid);
/* 14 */ CRYPTLIB_API void CRYPTLIB_CALL GetCryptoErrorString(CRYPT_HANDLE h, int32_t code, char* text);
/* 15 */ CRYPTLIB_API int32_t CRYPTLIB_CALL EncodeData(CRYPT_HANDLE h, void* data, int32_t* length, const char* uidList);
/* 16 */ CRYPTLIB_API int32_t CRYPTLIB_CALL DecodeData(CRYPT_HANDLE h, void* data, int32_t* length, char* uid);
/* 17 */ CRYPTLIB_API int32_t CRYPTLIB_CALL SignData(CRYPT_HANDLE h, const void* data, int32_t length, void* signature,
                                                    int32_t* signatureLength, const char* signerUid);
/* 18 */ CRYPTLIB_API int32_t CRYPTLIB_CALL VerifyData(CRYPT_HANDLE h, const void* data, int32_t length,
                                                      const void* signature, int32_t signatureLength, char* signerUid);
/* 19 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetCurrentUserUID(CRYPT_HANDLE h, char* uid);
/* 20 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GenerateNewSSK(CRYPT_HANDLE h);
/* 21 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GenerateNewSEK(CRYPT_HANDLE h);
/* 22 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IsDifferentKeys(CRYPT_HANDLE h);
/* 23 */ CRYPTLIB_API void CRYPTLIB_CALL SetPasswordRequestFunc(CRYPT_HANDLE h, void* func);
/* 24 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPasswordLength(CRYPT_HANDLE h);
/* 25 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicKey(CRYPT_HANDLE h, const char* path);
/* 26 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicEncodeKey(CRYPT_HANDLE h, const char* path);
/* 27 */ CRYPTLIB_API int32_t CRYPTLIB_CALL SignFile(CRYPT_HANDLE h, const char* fileName);
/* 28 */ CRYPTLIB_API int32_t CRYPTLIB_CALL VerifyFile(CRYPT_HANDLE h, const char* fileName, char* signerUid);
/* 29 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveSignaturesFromFile(CRYPT_HANDLE h, const char* fileName);
/* 30 */ CRYPTLIB_API void CRYPTLIB_CALL GetLastErrorMessage(CRYPT_HANDLE h, char* text);
/* 31 */ CRYPTLIB_API void CRYPTLIB_CALL SetRootPath(CRYPT_HANDLE h, const char* path);
/* 32 */ CRYPTLIB_API int32_t CRYPTLIB_CALL TransSignatureFromFileToTM(CRYPT_HANDLE h);
/* 33 */ CRYPTLIB_API int32_t CRYPTLIB_CALL TransPrivateKeyFromFileToTM(CRYPT_HANDLE h);
/* 34 */ CRYPTLIB_API void CRYPTLIB_CALL SetTMRequestFunc(CRYPT_HANDLE h, void* func);
/* 35 */ CRYPTLIB_API void CRYPTLIB_CALL ClearCash(CRYPT_HANDLE h);
/* 36 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateStart(CRYPT_HANDLE h, int32_t ignored);
/* 37 */ CRYPTLIB_API void CRYPTLIB_CALL SetRemoteGeneratePath(CRYPT_HANDLE h, const char* path);
/* 38 */ CRYPTLIB_API int32_t CRYPTLIB_CALL AddSign(CRYPT_HANDLE h, void* buffer, int32_t* length, const char* signerUid);
/* 39 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveSign(CRYPT_HANDLE h, void* buffer, int32_t* length, char* signerUid);
/* 40 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxSignAddition(CRYPT_HANDLE h);
/* 41 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyTransfer(CRYPT_HANDLE h, const char* uid, char* transfer);
/* 42 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateFinish(CRYPT_HANDLE h, int32_t ignored);
/* 43 */ CRYPTLIB_API int32_t CRYPTLIB_CALL SavePublicKeyFromTransfer(CRYPT_HANDLE h, const char* directory,
                                                                     const char* transfer);
/* 44 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPublicKeyTransferSize(CRYPT_HANDLE h);
/* 45 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicKeyTransfer(CRYPT_HANDLE h, const char* transfer);
/* 46 */ CRYPTLIB_API int32_t CRYPTLIB_CALL ExcludeSelfPublicKeyTransfer(CRYPT_HANDLE h, char* transfer);
/* 47 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxFilePathLength(CRYPT_HANDLE h);
/* 48 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetRemoteGenType(CRYPT_HANDLE h);
/* 49 */ CRYPTLIB_API int32_t CRYPTLIB_CALL SaveSignedDataToFile(CRYPT_HANDLE h, const void* data, int32_t dataLength,
                                                                const void* signature, int32_t signatureLength,
                                                                const char* fileName);
/* 50 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyTransferByFile(CRYPT_HANDLE h, char* transfer, const char* path);
/* 51 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxReportSize(CRYPT_HANDLE h);
/* 52 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetReport(CRYPT_HANDLE h, const char* uid, char* report);
/* 53 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxAdditionEx(CRYPT_HANDLE h, const char* uidList);
/* 54 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetUIDByPublicKeyTransfer(CRYPT_HANDLE h, const char* transfer, char* uid);
/* 55 */ CRYPTLIB_API int32_t CRYPTLIB_CALL UpdateCertificateCash(CRYPT_HANDLE h, const char* uid);
/* 56 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPublicKeyPropertiesLength(CRYPT_HANDLE h);
/* 57 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyProperties(CRYPT_HANDLE h, const char* uid, char* report);
/* 58 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateStartEx(CRYPT_HANDLE h, const char* keyName, char* exchange,
                                                                 uint32_t* step);
/* 59 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateFinishEx(CRYPT_HANDLE h, const char* certTransfer,
                                                                  uint32_t* step);
/* 60 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyPropertiesByTransfer(CRYPT_HANDLE h, const char* transfer,
                                                                            char* report);
/* 61 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyPropertiesByFile(CRYPT_HANDLE h, const char* path, char* report);
/* 62 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IncludeCACertificateFromTransfer(CRYPT_HANDLE h, const char* transfer);
/* 63 */ CRYPTLIB_API int32_t CRYPTLIB_CALL CreateDirStructure(CRYPT_HANDLE h, const char* ownCertificate,
                                                              const char* caList);
/* 64 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveCertificate(CRYPT_HANDLE h, const char* uid);
/* 65 */ CRYPTLIB_API int32_t CRYPTLIB_CALL VerifySignWOCheckValidity(CRYPT_HANDLE h, const void* data, int32_t length,
                                                                     const void* signature, int32_t signatureLength,
                                                                     char* signerUid);
/* 66 */ CRYPTLIB_API int32_t CRYPTLIB_CALL CertAndRequestTransferMatch(CRYPT_HANDLE h, const char* certTransfer,
                                                                       const char* requestTransfer, int32_t* match);
/* 67 */ CRYPTLIB_API int32_t CRYPTLIB_CALL IncludeCRL(CRYPT_HANDLE h, const char* path);
/* 68 */ CRYPTLIB_API int32_t CRYPTLIB_CALL ConvertTransferToSignedRequest(CRYPT_HANDLE h, const char* transfer);
/* 69 */ CRYPTLIB_API int32_t CRYPTLIB_CALL HashData(CRYPT_HANDLE h, const void* data, int32_t length, void* hash,
                                                    int32_t* hashLength, const char* algorithm);
/* 70 */ CRYPTLIB_API int32_t CRYPTLIB_CALL ShowCertificate(CRYPT_HANDLE h, const char* uid);
/* 71 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetPureSign(CRYPT_HANDLE h, const void* data, int32_t length,
                                                       void* signature, int32_t* signatureLength, const char* signerUid);
/* 72 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetUIDByCertIdent(CRYPT_HANDLE h, const char* ident, char* uid);
/* 73 */ CRYPTLIB_API int32_t CRYPTLIB_CALL InstallCertsInMyStore(CRYPT_HANDLE h, const char* path);
/* 74 */ CRYPTLIB_API int32_t CRYPTLIB_CALL RegisterOIDInfo(CRYPT_HANDLE h, const char* oid, const char* info);
/* 75 */ CRYPTLIB_API int32_t CRYPTLIB_CALL GetParamInfo(CRYPT_HANDLE h, int32_t index, int32_t* kind, char* buffer,
                                                        int32_t* size);
/* 76 */ CRYPTLIB_API int32_t CRYPTLIB_CALL CheckCompatibles(const char* engineName);

#ifdef __cplusplus
}
#endif

#endif /* CRYPTLIB_H */
