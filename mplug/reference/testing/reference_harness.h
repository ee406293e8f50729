// What the reference module's tests share: the module loaded by its full
// path with its 47 functions, a test certificate authority on the OpenSSL API
// (the bank's side: issuing certificates from requests, revocation lists),
// and contexts with parameters set by number.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mplug.h"
#include "platform/platform.h"
#include "reference/module.h"

namespace reftest {

inline std::string ModulePath() {
  return std::string(CRYPTLIB_REFERENCE_DIR) + "/mplug2.so";
}

struct Module {
#define REFTEST_FIELD(number, name, mandatory, result, params) MPlug_##name##_Fn name = nullptr;
  MPLUG_FUNCTION_LIST(REFTEST_FIELD)
#undef REFTEST_FIELD
  int missing = 0;

  // Loaded once per process and kept: the module is made to stay loaded.
  static const Module& Get() {
    static const Module module = Load();
    return module;
  }

 private:
  static Module Load() {
    std::string error;
    void* handle = cryptlib::platform::Os().LoadModule(ModulePath(), &error);
    if (handle == nullptr) throw std::runtime_error("cannot load " + ModulePath() + ": " + error);
    Module module;
#define REFTEST_BIND(number, name, mandatory, result, params)                                            \
  module.name = reinterpret_cast<MPlug_##name##_Fn>(cryptlib::platform::Os().FindSymbol(handle, #name)); \
  if (module.name == nullptr) ++module.missing;
    MPLUG_FUNCTION_LIST(REFTEST_BIND)
#undef REFTEST_BIND
    return module;
  }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// A context opened on the module; closed by the destructor.
class Session {
 public:
  Session() : module_(Module::Get()), handle_(module_.InitCrypto()) {}
  ~Session() { module_.DoneCrypto(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  MPlugContext handle() const { return handle_; }
  const Module& module() const { return module_; }
  // Parameter numbers as the engine's users count them: 1-based.
  Session& Set(int number, const std::string& value) {
    module_.SetCryptoParamValue(handle_, number - 1, value.c_str());
    return *this;
  }
  std::string LastError() const {
    std::vector<char> text(static_cast<size_t>(module_.GetMaxErrorStringLength()) + 1, '\0');
    module_.GetLastErrorMessage(handle_, text.data());
    return text.data();
  }
  std::string CurrentUid() const {
    std::vector<char> uid(static_cast<size_t>(module_.GetMaxUIDLength()), '\0');
    int32_t code = module_.GetCurrentUID(handle_, uid.data());
    return code == 0 ? std::string(uid.data()) : "error " + std::to_string(code);
  }

 private:
  const Module& module_;
  MPlugContext handle_;
};

// The bank's side. Its key is an RSA 2048 key; certificates it issues carry
// the request's subject and key, valid from validFromDays to validToDays
// relative to now.
class TestCa {
 public:
  explicit TestCa(const std::string& commonName = "Bank CA") {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    EVP_PKEY_keygen_init(context);
    EVP_PKEY_CTX_set_rsa_keygen_bits(context, 2048);
    EVP_PKEY_keygen(context, &key_);
    EVP_PKEY_CTX_free(context);
    name_ = X509_NAME_new();
    AddEntry(name_, "C", "RU");
    AddEntry(name_, "O", "Bank");
    AddEntry(name_, "CN", commonName);
    certificate_ = NewCertificate(name_, key_, 1, -1, 3650);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, certificate_, certificate_, nullptr, nullptr, 0);
    X509_EXTENSION* basic = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(certificate_, basic, -1);
    X509_EXTENSION_free(basic);
    X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, &v3, NID_key_usage, "critical,keyCertSign,cRLSign");
    X509_add_ext(certificate_, usage, -1);
    X509_EXTENSION_free(usage);
    X509_sign(certificate_, key_, EVP_sha256());
  }
  ~TestCa() {
    X509_free(certificate_);
    X509_NAME_free(name_);
    EVP_PKEY_free(key_);
  }
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  void WriteCertificate(const std::string& path) const { WriteFile(path, Pem(certificate_)); }
  void WriteKey(const std::string& path) const {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(out, key_, nullptr, nullptr, 0, nullptr, nullptr);
    WriteFile(path, BioText(out));
    BIO_free(out);
  }

  // Issues a certificate for the request file; answers false when the request
  // cannot be read.
  bool Issue(const std::string& requestPath, const std::string& certificatePath, long serial, int validFromDays = -1,
             int validToDays = 365) const {
    std::string text = ReadFile(requestPath);
    BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    X509_REQ* request = PEM_read_bio_X509_REQ(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (request == nullptr) return false;
    X509* certificate = NewCertificate(X509_REQ_get_subject_name(request), X509_REQ_get0_pubkey(request), serial,
                                       validFromDays, validToDays);
    X509_REQ_free(request);
    X509_set_issuer_name(certificate, name_);
    X509_sign(certificate, key_, EVP_sha256());
    WriteFile(certificatePath, Pem(certificate));
    X509_free(certificate);
    return true;
  }

  // A revocation list naming the serials, valid from a day ago for a month.
  void WriteCrl(const std::string& path, const std::vector<long>& revokedSerials) const {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, name_);
    ASN1_TIME* now = X509_gmtime_adj(nullptr, -86400);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, 30L * 86400);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, next);
    for (long serial : revokedSerials) {
      X509_REVOKED* entry = X509_REVOKED_new();
      ASN1_INTEGER* number = ASN1_INTEGER_new();
      ASN1_INTEGER_set(number, serial);
      X509_REVOKED_set_serialNumber(entry, number);
      X509_REVOKED_set_revocationDate(entry, now);
      X509_CRL_add0_revoked(crl, entry);
      ASN1_INTEGER_free(number);
    }
    ASN1_TIME_free(now);
    ASN1_TIME_free(next);
    X509_CRL_sort(crl);
    X509_CRL_sign(crl, key_, EVP_sha256());
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_CRL(out, crl);
    WriteFile(path, BioText(out));
    BIO_free(out);
    X509_CRL_free(crl);
  }

 private:
  static void AddEntry(X509_NAME* name, const char* field, const std::string& value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                               -1, 0);
  }
  static X509* NewCertificate(const X509_NAME* subject, EVP_PKEY* key, long serial, int fromDays, int toDays) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_set_subject_name(certificate, subject);
    X509_set_issuer_name(certificate, subject);
    X509_gmtime_adj(X509_getm_notBefore(certificate), static_cast<long>(fromDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), static_cast<long>(toDays) * 86400);
    X509_set_pubkey(certificate, key);
    return certificate;
  }
  static std::string BioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
  }
  static std::string Pem(X509* certificate) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(out, certificate);
    std::string text = BioText(out);
    BIO_free(out);
    return text;
  }

  EVP_PKEY* key_ = nullptr;
  X509_NAME* name_ = nullptr;
  X509* certificate_ = nullptr;
};

// Parameter numbers (1-based) the tests set: the module's own indexes, one on.
enum Param : int {
  kOwnCertificate = ref::kOwnCertificate + 1,
  kCertificateDir = ref::kCertificateDir + 1,
  kKeyDir = ref::kKeyDir + 1,
  kCipher = ref::kCipherParam + 1,
  kSignature = ref::kSignatureParam + 1,
  kPrivateKeyFile = ref::kPrivateKeyFile + 1,
  kRequestFile = ref::kRequestFile + 1,
  kCountry = ref::kSubjectCountry + 1,
  kState = ref::kSubjectState + 1,
  kLocality = ref::kSubjectLocality + 1,
  kOrganisation = ref::kSubjectOrganisation + 1,
  kUnit = ref::kSubjectUnit + 1,
  kCommonName = ref::kSubjectCommonName + 1,
  kEmail = ref::kSubjectEmail + 1,
  kUidField = ref::kUidField + 1,
  kTitle = ref::kSubjectTitle + 1,
  kCaDir = ref::kCaDir + 1,
  kCrlDir = ref::kCrlDir + 1,
};

struct Abonent {
  std::string name;          // the common name
  std::string subjectLine;   // "/C=RU/O=Bank/CN=<name>"
  std::string keyDirectory;  // its key container
  std::string request;       // its PKCS#10 request
  std::string certificate;   // in the shared certificate directory
  long serial = 0;
};

// A bank with its CA and a shared installation: root/certs (abonents'
// certificates), root/ca (the CA certificate), root/crl (revocation lists,
// empty at first), root/<name>/keys for each abonent.
class Bank {
 public:
  explicit Bank(const std::string& root) : root_(root) {
    for (const char* directory : {"certs", "ca", "crl"}) std::filesystem::create_directories(root_ + "/" + directory);
    ca_.WriteCertificate(root_ + "/ca/ca.pem");
  }

  const TestCa& ca() const { return ca_; }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // Generates the abonent's keys and request through the module (algorithm
  // names of parameter 5) and issues its certificate. Answers the generation
  // result; the certificate exists only on 0.
  int32_t Enroll(Abonent& abonent, const std::string& name, long serial, const std::string& signature = "SHA256",
                 int validFromDays = -1, int validToDays = 365) {
    abonent.name = name;
    abonent.subjectLine = "/C=RU/O=Bank/CN=" + name;
    abonent.keyDirectory = Path(name + "/keys");
    abonent.request = Path(name + "/request.pem");
    abonent.certificate = Path("certs/" + name + ".pem");
    abonent.serial = serial;
    Session generation;
    generation.Set(kKeyDir, abonent.keyDirectory)
        .Set(kRequestFile, abonent.request)
        .Set(kSignature, signature)
        .Set(kCountry, "RU")
        .Set(kOrganisation, "Bank")
        .Set(kCommonName, name);
    char text[260] = "";
    int32_t code = generation.module().GenerateNewSEK(generation.handle(), text);
    if (code == 0 && !ca_.Issue(abonent.request, abonent.certificate, serial, validFromDays, validToDays)) code = -1;
    return code;
  }

  // The abonent's working context: own certificate, keys, the shared
  // directories and the algorithms.
  void Configure(Session& session, const Abonent& abonent, const std::string& cipher = "AES-256-CBC",
                 const std::string& signature = "SHA256") const {
    session.Set(kOwnCertificate, abonent.certificate)
        .Set(kCertificateDir, Path("certs"))
        .Set(kKeyDir, abonent.keyDirectory)
        .Set(kCipher, cipher)
        .Set(kSignature, signature)
        .Set(kCaDir, Path("ca"))
        .Set(kCrlDir, Path("crl"));
  }

 private:
  std::string root_;
  TestCa ca_;
};

// Runs a command line; its exit status (-1 when it could not run).
inline int RunCommand(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status == -1 ? -1 : WEXITSTATUS(status);
}

inline bool HaveOpenSslTool() {
  return RunCommand("openssl version") == 0;
}

}  // namespace reftest
