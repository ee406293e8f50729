/* Test hooks of the fake vendor module: extra exported functions, plain C
 * calling convention, that tests look up by name next to the 47 vendor
 * functions (see docs/fake-module.md). The typedefs name the pointer types a
 * test casts the looked-up symbols to. */
#ifndef CRYPTLIB_FAKE_HOOKS_H
#define CRYPTLIB_FAKE_HOOKS_H

#include <stdint.h>

#if defined(_WIN32)
#define FAKE_EXPORT __declspec(dllexport)
#else
#define FAKE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the call log (one line per finished call, see the docs for the line
 * form) into buffer, cut to size - 1 characters and terminated; returns the
 * size the whole log needs with its terminator. buffer may be null. */
FAKE_EXPORT int32_t FakeLogRead(char* buffer, int32_t size);
FAKE_EXPORT void FakeLogClear(void);
/* The next `times` calls of `function` (its exported name) return `result`
 * without doing anything else; times < 0 means every call until cleared. */
FAKE_EXPORT void FakeScriptResult(const char* function, int32_t result, int32_t times);
FAKE_EXPORT void FakeScriptClear(void);
/* Calls that began while another call was running, counted only by the
 * flavours that are not thread-safe (file version 1.0.0.0 or none). */
FAKE_EXPORT int32_t FakeOverlapCount(void);
/* The most calls seen running at the same time, in every flavour. */
FAKE_EXPORT int32_t FakeMaxConcurrentCalls(void);
/* Makes every counted call busy-wait this long, so that overlaps show. */
FAKE_EXPORT void FakeSetCallDelayMicros(int32_t micros);
/* Clears the log, the scripts, the overlap counters and the delay. */
FAKE_EXPORT void FakeReset(void);
/* Contexts opened by InitCrypto and not yet closed by DoneCrypto. */
FAKE_EXPORT int32_t FakeOpenContextCount(void);
/* The bank's side: writes a certificate for the request's subject and public
 * key, issued by `issuer` (a subject line). 0 or a module error code. */
FAKE_EXPORT int32_t FakeIssueCertificate(const char* requestFile, const char* issuer, const char* certificateFile);
/* An outside key generation utility: writes a fresh key container (both key
 * file sets) for `subject` into the directory. 0 or a module error code. */
FAKE_EXPORT int32_t FakeWriteKeyContainer(const char* keyDirectory, const char* subject);

typedef int32_t (*FakeLogRead_Fn)(char* buffer, int32_t size);
typedef void (*FakeLogClear_Fn)(void);
typedef void (*FakeScriptResult_Fn)(const char* function, int32_t result, int32_t times);
typedef void (*FakeScriptClear_Fn)(void);
typedef int32_t (*FakeOverlapCount_Fn)(void);
typedef int32_t (*FakeMaxConcurrentCalls_Fn)(void);
typedef void (*FakeSetCallDelayMicros_Fn)(int32_t micros);
typedef void (*FakeReset_Fn)(void);
typedef int32_t (*FakeOpenContextCount_Fn)(void);
typedef int32_t (*FakeIssueCertificate_Fn)(const char* requestFile, const char* issuer, const char* certificateFile);
typedef int32_t (*FakeWriteKeyContainer_Fn)(const char* keyDirectory, const char* subject);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* CRYPTLIB_FAKE_HOOKS_H */
