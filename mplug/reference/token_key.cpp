// Token keys for OpenSSL: an RSA or EC key carrying only the public half,
// with an RSA_METHOD / EC_KEY_METHOD whose private operations call the token.
// OpenSSL 3.0 treats such keys as "foreign" and runs them through its legacy
// key methods, which is where CMS signing, decryption and request signing
// reach them. Those method APIs are deprecated in OpenSSL 3.0 but are the
// only way to put a key that stays outside the process under CMS without a
// provider of our own; the warnings are silenced for this file alone.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "errors.h"
#include "module.h"
#include "token_session.h"

namespace ref {
namespace {

// What the methods find in the key's extra data: where the object is now,
// and how to find it again.
struct TokenKey {
  TokenKey(TokenSession* onSession, CK_OBJECT_HANDLE handle, std::string keyUri, TokenAccess keyAccess)
      : session(onSession), object(handle), uri(std::move(keyUri)), access(std::move(keyAccess)) {}
  std::mutex mutex;  // guards session and object, which a reconnection replaces
  TokenSession* session;
  CK_OBJECT_HANDLE object;
  const std::string uri;
  const TokenAccess access;
};

void FreeTokenKey(void*, void* pointer, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TokenKey*>(pointer);
}

int RsaIndex() {
  static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeTokenKey);
  return index;
}

int EcIndex() {
  static const int index = EC_KEY_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeTokenKey);
  return index;
}

// Runs one token operation for OpenSSL: a failure is kept for
// RethrowTokenFailure and told to OpenSSL as an error of its own.
template <class Operation>
bool RunForOpenSsl(Operation operation) {
  try {
    operation();
    return true;
  } catch (const Failure& failure) {
    RememberTokenFailure(failure);
    ERR_raise_data(ERR_LIB_USER, ERR_R_OPERATION_FAIL, "%s", failure.message().c_str());
  } catch (const std::exception&) {
    ERR_raise(ERR_LIB_USER, ERR_R_INTERNAL_ERROR);
  }
  return false;
}

// Runs an operation on the key's object. A token that answers "absent" may
// have been pulled out and put back, which ends its sessions: the object is
// found again by its URI (logging in again) and the operation runs once more.
template <class Operation>
std::string OnToken(TokenKey& key, Operation operation) {
  std::pair<TokenSession*, CK_OBJECT_HANDLE> bound;
  {
    std::lock_guard lock(key.mutex);
    bound = {key.session, key.object};
  }
  try {
    return operation(*bound.first, bound.second);
  } catch (const Failure& failure) {
    if (failure.code() != kErrTokenAbsent) throw;
  }
  const TokenUri uri = ParseTokenUri(key.uri);
  TokenSession& session = ConnectToken(uri, key.access);
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  {
    std::lock_guard lock(session.mutex);
    object = FindTokenObject(session, uri, CKO_PRIVATE_KEY);
  }
  if (object == CK_INVALID_HANDLE) Fail(kErrTokenKeyMissing, key.uri);
  {
    std::lock_guard lock(key.mutex);
    key.session = &session;
    key.object = object;
  }
  return operation(session, object);
}

// C_Sign or C_Decrypt with one mechanism: the input in, the output out.
template <class Init, class Run>
std::string OneShot(TokenSession& session, CK_OBJECT_HANDLE object, CK_MECHANISM_TYPE type, const unsigned char* in,
                    size_t size, Init init, Run run, const char* name) {
  std::lock_guard lock(session.mutex);
  CK_MECHANISM mechanism{type, nullptr, 0};
  CK_RV result = init(session.handle, &mechanism, object);
  if (result != CKR_OK) FailToken(result, std::string(name) + "Init");
  CK_ULONG length = 0;
  auto input = const_cast<CK_BYTE_PTR>(in);
  result = run(session.handle, input, size, nullptr, &length);
  std::string out(length, '\0');
  if (result == CKR_OK) result = run(session.handle, input, size, reinterpret_cast<CK_BYTE_PTR>(out.data()), &length);
  if (result != CKR_OK) FailToken(result, name);
  out.resize(length);
  return out;
}

std::string TokenSign(TokenKey& key, CK_MECHANISM_TYPE type, const unsigned char* in, size_t size) {
  return OnToken(key, [&](TokenSession& session, CK_OBJECT_HANDLE object) {
    CK_FUNCTION_LIST_PTR f = session.functions;
    return OneShot(session, object, type, in, size, f->C_SignInit, f->C_Sign, "C_Sign");
  });
}

std::string TokenDecrypt(TokenKey& key, const unsigned char* in, size_t size) {
  return OnToken(key, [&](TokenSession& session, CK_OBJECT_HANDLE object) {
    CK_FUNCTION_LIST_PTR f = session.functions;
    return OneShot(session, object, CKM_RSA_PKCS, in, size, f->C_DecryptInit, f->C_Decrypt, "C_Decrypt");
  });
}

// RSA: signatures arrive as the DigestInfo to pad (PKCS#1 v1.5), decryption
// as the key-transport block.
int RsaPrivateEncrypt(int size, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  auto* key = static_cast<TokenKey*>(RSA_get_ex_data(rsa, RsaIndex()));
  if (key == nullptr || (padding != RSA_PKCS1_PADDING && padding != RSA_NO_PADDING)) return -1;
  std::string signature;
  CK_MECHANISM_TYPE type = padding == RSA_PKCS1_PADDING ? CKM_RSA_PKCS : CKM_RSA_X_509;
  if (!RunForOpenSsl([&] { signature = TokenSign(*key, type, from, static_cast<size_t>(size)); })) return -1;
  std::copy(signature.begin(), signature.end(), to);
  return static_cast<int>(signature.size());
}

int RsaPrivateDecrypt(int size, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  auto* key = static_cast<TokenKey*>(RSA_get_ex_data(rsa, RsaIndex()));
  if (key == nullptr || padding != RSA_PKCS1_PADDING) return -1;
  std::string plain;
  if (!RunForOpenSsl([&] { plain = TokenDecrypt(*key, from, static_cast<size_t>(size)); })) return -1;
  std::copy(plain.begin(), plain.end(), to);
  return static_cast<int>(plain.size());
}

// The key methods, made on first need and freed by ReleaseTokenMethods.
std::mutex methodLock;
RSA_METHOD* rsaMethod = nullptr;
EC_KEY_METHOD* ecMethod = nullptr;

const RSA_METHOD* TokenRsaMethod() {
  std::lock_guard lock(methodLock);
  if (rsaMethod == nullptr) {
    rsaMethod = RSA_meth_dup(RSA_PKCS1_OpenSSL());
    RSA_meth_set1_name(rsaMethod, "CryptLib PKCS#11 token");
    RSA_meth_set_priv_enc(rsaMethod, RsaPrivateEncrypt);
    RSA_meth_set_priv_dec(rsaMethod, RsaPrivateDecrypt);
  }
  return rsaMethod;
}

// ECDSA: the token answers r and s side by side.
ECDSA_SIG* EcSign(const unsigned char* digest, int size, const BIGNUM*, const BIGNUM*, EC_KEY* ec) {
  auto* key = static_cast<TokenKey*>(EC_KEY_get_ex_data(ec, EcIndex()));
  std::string raw;
  if (key == nullptr || !RunForOpenSsl([&] { raw = TokenSign(*key, CKM_ECDSA, digest, static_cast<size_t>(size)); })) {
    return nullptr;
  }
  const int half = static_cast<int>(raw.size() / 2);
  auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  ECDSA_SIG* signature = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(bytes, half, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + half, half, nullptr);
  if (signature == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(signature, r, s) != 1) {
    ECDSA_SIG_free(signature);
    BN_free(r);
    BN_free(s);
    return nullptr;
  }
  return signature;
}

// ECDH on the token: the shared secret comes back as a session object that
// may be read (it exists only for this call) and is destroyed at once.
std::string Derive(TokenSession& session, CK_OBJECT_HANDLE object, const std::string& peerPoint, size_t secretSize) {
  std::lock_guard lock(session.mutex);
  CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, peerPoint.size(),
                                    reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(peerPoint.data()))};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
  CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
  CK_KEY_TYPE secretType = CKK_GENERIC_SECRET;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_ULONG length = secretSize;
  CK_ATTRIBUTE secret[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                           {CKA_KEY_TYPE, &secretType, sizeof secretType},
                           {CKA_TOKEN, &no, sizeof no},
                           {CKA_SENSITIVE, &no, sizeof no},
                           {CKA_EXTRACTABLE, &yes, sizeof yes},
                           {CKA_VALUE_LEN, &length, sizeof length}};
  CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
  CK_RV result = session.functions->C_DeriveKey(session.handle, &mechanism, object, secret, 6, &derived);
  if (result != CKR_OK) FailToken(result, "C_DeriveKey");
  std::string value(secretSize, '\0');
  CK_ATTRIBUTE read = {CKA_VALUE, value.data(), value.size()};
  result = session.functions->C_GetAttributeValue(session.handle, derived, &read, 1);
  session.functions->C_DestroyObject(session.handle, derived);
  if (result != CKR_OK) FailToken(result, "C_GetAttributeValue of the shared secret");
  value.resize(read.ulValueLen);
  return value;
}

std::string TokenDerive(TokenKey& key, const std::string& peerPoint, size_t secretSize) {
  return OnToken(key, [&](TokenSession& session, CK_OBJECT_HANDLE object) {
    return Derive(session, object, peerPoint, secretSize);
  });
}

int EcComputeKey(unsigned char** secret, size_t* secretSize, const EC_POINT* peer, const EC_KEY* ec) {
  auto* key = static_cast<TokenKey*>(EC_KEY_get_ex_data(ec, EcIndex()));
  const EC_GROUP* group = EC_KEY_get0_group(ec);
  if (key == nullptr || group == nullptr) return 0;
  std::string point(EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr), '\0');
  EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED, reinterpret_cast<unsigned char*>(point.data()),
                     point.size(), nullptr);
  const size_t fieldBytes = (static_cast<size_t>(EC_GROUP_get_degree(group)) + 7) / 8;
  std::string shared;
  if (!RunForOpenSsl([&] { shared = TokenDerive(*key, point, fieldBytes); })) return 0;
  *secret = static_cast<unsigned char*>(OPENSSL_memdup(shared.data(), shared.size()));
  OPENSSL_cleanse(shared.data(), shared.size());
  if (*secret == nullptr) return 0;
  *secretSize = shared.size();
  return 1;
}

const EC_KEY_METHOD* TokenEcMethod() {
  std::lock_guard lock(methodLock);
  if (ecMethod == nullptr) {
    EC_KEY_METHOD* m = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
    int (*sign)(int, const unsigned char*, int, unsigned char*, unsigned int*, const BIGNUM*, const BIGNUM*, EC_KEY*) =
        nullptr;
    int (*setup)(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**) = nullptr;
    EC_KEY_METHOD_get_sign(m, &sign, &setup, nullptr);
    EC_KEY_METHOD_set_sign(m, sign, setup, EcSign);
    EC_KEY_METHOD_set_compute_key(m, EcComputeKey);
    ecMethod = m;
  }
  return ecMethod;
}

}  // namespace

std::string TokenAttribute(TokenSession& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute = {type, nullptr, 0};
  if (session.functions->C_GetAttributeValue(session.handle, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    return {};
  }
  std::string value(attribute.ulValueLen, '\0');
  attribute.pValue = value.data();
  if (session.functions->C_GetAttributeValue(session.handle, object, &attribute, 1) != CKR_OK) return {};
  return value;
}

namespace {

BIGNUM* Number(const std::string& bytes) {
  return BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr);
}

PkeyPtr RsaKey(TokenSession& session, CK_OBJECT_HANDLE object, TokenKey* token) {
  std::string modulus = TokenAttribute(session, object, CKA_MODULUS);
  std::string exponent = TokenAttribute(session, object, CKA_PUBLIC_EXPONENT);
  if (modulus.empty() || exponent.empty()) Fail(kErrTokenKeyMissing, "the RSA key has no public half");
  RSA* rsa = RSA_new();
  PkeyPtr key(EVP_PKEY_new());
  if (rsa == nullptr || !key || RSA_set_method(rsa, TokenRsaMethod()) != 1 ||
      RSA_set0_key(rsa, Number(modulus), Number(exponent), nullptr) != 1 ||
      RSA_set_ex_data(rsa, RsaIndex(), token) != 1 || EVP_PKEY_assign_RSA(key.get(), rsa) != 1) {
    if (rsa != nullptr) RSA_set_ex_data(rsa, RsaIndex(), nullptr);  // the caller still owns token
    RSA_free(rsa);
    FailCrypto(kErrCrypto, "token RSA key");
  }
  return key;
}

// The public point of an EC key: from the public key object of the same id,
// as the token stores it (DER OCTET STRING, or bare).
std::string EcPoint(TokenSession& session, CK_OBJECT_HANDLE privateKey) {
  std::string id = TokenAttribute(session, privateKey, CKA_ID);
  TokenUri byId;
  byId.path["id"] = id;
  CK_OBJECT_HANDLE publicKey = FindTokenObject(session, byId, CKO_PUBLIC_KEY);
  std::string point = publicKey != CK_INVALID_HANDLE ? TokenAttribute(session, publicKey, CKA_EC_POINT) : std::string();
  if (point.empty()) Fail(kErrTokenKeyMissing, "the EC key has no public key object");
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(point.data());
  ASN1_OCTET_STRING* wrapped = d2i_ASN1_OCTET_STRING(nullptr, &cursor, static_cast<long>(point.size()));
  if (wrapped != nullptr && cursor == reinterpret_cast<const unsigned char*>(point.data()) + point.size()) {
    point.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(wrapped)),
                 static_cast<size_t>(ASN1_STRING_length(wrapped)));
  }
  ASN1_OCTET_STRING_free(wrapped);
  ERR_clear_error();
  return point;
}

PkeyPtr EcKey(TokenSession& session, CK_OBJECT_HANDLE object, TokenKey* token) {
  std::string parameters = TokenAttribute(session, object, CKA_EC_PARAMS);
  std::string point = EcPoint(session, object);
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(parameters.data());
  EC_GROUP* group = d2i_ECPKParameters(nullptr, &cursor, static_cast<long>(parameters.size()));
  EC_KEY* ec = EC_KEY_new();
  EC_POINT* publicPoint = group != nullptr ? EC_POINT_new(group) : nullptr;
  PkeyPtr key(EVP_PKEY_new());
  bool built = ec != nullptr && publicPoint != nullptr && key && EC_KEY_set_method(ec, TokenEcMethod()) == 1 &&
               EC_KEY_set_group(ec, group) == 1 &&
               EC_POINT_oct2point(group, publicPoint, reinterpret_cast<const unsigned char*>(point.data()),
                                  point.size(), nullptr) == 1 &&
               EC_KEY_set_public_key(ec, publicPoint) == 1 && EC_KEY_set_ex_data(ec, EcIndex(), token) == 1 &&
               EVP_PKEY_assign_EC_KEY(key.get(), ec) == 1;
  EC_POINT_free(publicPoint);
  EC_GROUP_free(group);
  if (!built) {
    if (ec != nullptr) EC_KEY_set_ex_data(ec, EcIndex(), nullptr);  // the caller still owns token
    EC_KEY_free(ec);
    FailCrypto(kErrCrypto, "token EC key");
  }
  return key;
}

}  // namespace

PkeyPtr WrapTokenKey(TokenSession& session, CK_OBJECT_HANDLE privateKey, const std::string& uri,
                     const TokenAccess& access) {
  std::string type = TokenAttribute(session, privateKey, CKA_KEY_TYPE);
  CK_KEY_TYPE keyType = CKK_VENDOR_DEFINED;
  if (type.size() == sizeof keyType) std::memcpy(&keyType, type.data(), sizeof keyType);
  // Owned by the key's extra data once set; freed here when that fails.
  auto token = std::make_unique<TokenKey>(&session, privateKey, uri, access);
  PkeyPtr key;
  if (keyType == CKK_RSA) key = RsaKey(session, privateKey, token.get());
  if (keyType == CKK_EC) key = EcKey(session, privateKey, token.get());
  if (key) {
    token.release();
    return key;
  }
  Fail(kErrAlgorithmMismatch, "the token key is neither RSA nor EC");
}

void ReleaseTokenMethods() {
  std::lock_guard lock(methodLock);
  // EC_KEY_METHOD_free does not take a null pointer.
  if (rsaMethod != nullptr) RSA_meth_free(rsaMethod);
  rsaMethod = nullptr;
  if (ecMethod != nullptr) EC_KEY_METHOD_free(ecMethod);
  ecMethod = nullptr;
}

}  // namespace ref
