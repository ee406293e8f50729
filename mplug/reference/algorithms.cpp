#include "algorithms.h"

#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cctype>

#include "errors.h"
#include "gost_engine.h"
#include "module.h"

namespace ref {
namespace {

constexpr int kRsaBits = 2048;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

const EVP_MD* GostDigestByName(const char* name) {
  RequireGostEngine();
  const EVP_MD* digest = EVP_get_digestbyname(name);
  if (digest == nullptr) Fail(kErrGostUnavailable, std::string("digest ") + name + " missing");
  return digest;
}

PkeyPtr Generate(PkeyCtxPtr context, const char* what, void (*configure)(EVP_PKEY_CTX*)) {
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1) FailCrypto(kErrKeyGeneration, what);
  configure(context.get());
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen(context.get(), &key) != 1) FailCrypto(kErrKeyGeneration, what);
  return PkeyPtr(key);
}

}  // namespace

const EVP_CIPHER* ChooseCipher(const std::string& parameter) {
  std::string name = Upper(parameter);
  if (name.empty() || name == "AES-256-CBC") return EVP_aes_256_cbc();
  if (name == "DES-EDE3-CBC") return EVP_des_ede3_cbc();
  // Authenticated: CMS makes AuthEnvelopedData of it, where a changed byte
  // fails the tag instead of decrypting to other text.
  if (name == "AES-256-GCM") return EVP_aes_256_gcm();
  if (name == "RUS-GAMMAR") {
    RequireGostEngine();
    const EVP_CIPHER* cipher = EVP_get_cipherbyname("gost89");
    if (cipher == nullptr) Fail(kErrGostUnavailable, "cipher gost89 missing");
    return cipher;
  }
  Fail(kErrUnknownAlgorithm, "encryption algorithm \"" + parameter + "\"");
}

SignatureChoice ChooseSignature(const std::string& parameter) {
  std::string name = Upper(parameter);
  if (name.empty() || name == "SHA256" || name == "RSA-SHA256") return {KeyKind::kRsa, false, EVP_sha256()};
  if (name == "SHA1") return {KeyKind::kRsa, false, EVP_sha1()};
  if (name == "ECDSA-SHA256") return {KeyKind::kEc, false, EVP_sha256()};
  if (name == "R3410-R3411") {
    RequireGostEngine();
    return {KeyKind::kGost, true, nullptr};
  }
  Fail(kErrUnknownAlgorithm, "signature algorithm \"" + parameter + "\"");
}

bool IsGostKey(const EVP_PKEY* key) {
  int id = EVP_PKEY_get_base_id(key);
  return id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512 || id == NID_id_GostR3410_2001;
}

const EVP_MD* SigningDigest(const EVP_PKEY* key, const SignatureChoice& choice) {
  bool gostKey = IsGostKey(key);
  if (gostKey != choice.gost) {
    Fail(kErrAlgorithmMismatch, std::string("the key is ") + (gostKey ? "a GOST key" : "not a GOST key"));
  }
  if (!gostKey) return choice.digest;
  int id = EVP_PKEY_get_base_id(key);
  if (id == NID_id_GostR3410_2012_512) return GostDigestByName("md_gost12_512");
  if (id == NID_id_GostR3410_2012_256) return GostDigestByName("md_gost12_256");
  return GostDigestByName("md_gost94");
}

PkeyPtr GenerateKeyPair(const SignatureChoice& choice) {
  switch (choice.keyKind) {
    case KeyKind::kRsa:
      return Generate(PkeyCtxPtr(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr)), "RSA",
                      [](EVP_PKEY_CTX* context) { EVP_PKEY_CTX_set_rsa_keygen_bits(context, kRsaBits); });
    case KeyKind::kEc:
      return Generate(PkeyCtxPtr(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr)), "ECDSA P-256", [](EVP_PKEY_CTX* context) {
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context, NID_X9_62_prime256v1);
      });
    case KeyKind::kGost:
      return Generate(PkeyCtxPtr(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, RequireGostEngine())),
                      "GOST R 34.10-2012", [](EVP_PKEY_CTX* context) {
                        // Parameter set A (id-tc26-gost-3410-12-256-paramSetA).
                        EVP_PKEY_CTX_ctrl_str(context, "paramset", "A");
                      });
  }
  Fail(kErrInternal, "unknown key kind");
}

}  // namespace ref
