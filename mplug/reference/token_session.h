// Inside the token code: PKCS#11 URIs, the loaded PKCS#11 libraries and one
// logged-in session per token, shared by every key of that token.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <mutex>
#include <string>

#include "errors.h"
#include "ossl.h"
#include "token.h"

namespace ref {

// The attributes of a PKCS#11 URI (RFC 7512), percent-decoded: those of the
// path ("token", "serial", "id", "object", "type" ...) and of the query.
struct TokenUri {
  std::map<std::string, std::string> path;
  std::map<std::string, std::string> query;
  std::string Get(const std::string& name) const;
};

TokenUri ParseTokenUri(const std::string& uri);

// One attribute as it is written into a URI: unreserved characters as they
// are, everything else as %XX.
std::string UriValue(const std::string& value);

// A session on one token. Operations on it are serialised by its mutex: a
// PKCS#11 session runs one operation at a time.
struct TokenSession {
  std::mutex mutex;
  CK_FUNCTION_LIST_PTR functions = nullptr;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  std::string label;   // of the token, without its padding
  std::string serial;  // of the token, without its padding
};

// The logged-in session of the token the URI's token attributes name. Fails
// with kErrTokenLibrary, kErrTokenAbsent, kErrPassphraseUnavailable,
// kErrWrongPin or kErrPinLocked.
TokenSession& ConnectToken(const TokenUri& uri, const TokenAccess& access);

// The object of a class the URI's object attributes (id, object) name;
// CK_INVALID_HANDLE when there is none. The session's mutex must be held.
CK_OBJECT_HANDLE FindTokenObject(TokenSession& session, const TokenUri& uri, CK_OBJECT_CLASS objectClass);

// A failed PKCS#11 call as the module's failure: a token gone is
// kErrTokenAbsent, PIN answers have their codes, the rest is kErrCrypto.
[[noreturn]] void FailToken(CK_RV result, const std::string& call);

// One attribute's bytes; empty when the object does not have it. The mutex
// must be held.
std::string TokenAttribute(TokenSession& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

// Keeps a failure of a token operation that OpenSSL called, for
// RethrowTokenFailure.
void RememberTokenFailure(const Failure& failure);

// The key OpenSSL uses for a private key object: the public half read from
// the token, the private operations sent to it. The mutex must be held.
// The URI and access find the object again after the token was pulled out
// and put back.
PkeyPtr WrapTokenKey(TokenSession& session, CK_OBJECT_HANDLE privateKey, const std::string& uri,
                     const TokenAccess& access);

// Frees the key methods of token keys (no token key may be left).
void ReleaseTokenMethods();

}  // namespace ref
