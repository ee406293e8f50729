// The ENGINE API is deprecated in OpenSSL 3.0, but the gost algorithms exist
// only in that form; the deprecation warnings are silenced for this file.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "bank_ca.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>

#include "files.h"

namespace cryptlib::host {
namespace {

constexpr long kDay = 86400;

EVP_PKEY* Key(void* key) {
  return static_cast<EVP_PKEY*>(key);
}
X509* Cert(void* certificate) {
  return static_cast<X509*>(certificate);
}

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    text += (text.empty() ? "" : "; ") + std::string(line);
  }
  return text;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

bool AddExtension(X509* issuer, X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

bool WritePem(const std::string& path, X509* certificate) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(out, certificate);
  const bool written = WriteWholeFile(path, BioText(out));
  BIO_free(out);
  return written;
}

X509_REQ* ReadRequest(const std::string& text) {
  BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  X509_REQ* request = PEM_read_bio_X509_REQ(in, nullptr, nullptr, nullptr);
  if (request == nullptr) {
    (void)BIO_reset(in);
    request = d2i_X509_REQ_bio(in, nullptr);
  }
  BIO_free(in);
  return request;
}

}  // namespace

bool LoadGostAlgorithms() {
  static const bool loaded = [] {
    ENGINE* engine = ENGINE_by_id("gost");
    if (engine == nullptr) return false;
    const bool ready = ENGINE_init(engine) == 1 && ENGINE_set_default(engine, ENGINE_METHOD_ALL) == 1;
    ENGINE_free(engine);
    ERR_clear_error();
    return ready;
  }();
  return loaded;
}

BankCa::~BankCa() {
  X509_free(Cert(certificate_));
  EVP_PKEY_free(Key(key_));
}

bool BankCa::Fail(const std::string& what) {
  error_ = what;
  const std::string reasons = OpenSslErrors();
  if (!reasons.empty()) error_ += " (" + reasons + ")";
  return false;
}

bool BankCa::Create(const std::string& directory, const std::string& organisation, const std::string& commonName) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  directory_ = directory;
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (key == nullptr) return Fail("cannot generate the authority's key");
  key_ = key;
  X509* certificate = X509_new();
  certificate_ = certificate;
  X509_NAME* name = X509_get_subject_name(certificate);
  for (auto [field, value] : {std::pair<const char*, std::string>{"C", "RU"}, {"O", organisation}, {"CN", commonName}})
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                               -1, 0);
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_set_issuer_name(certificate, name);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -kDay);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3650 * kDay);
  X509_set_pubkey(certificate, key);
  if (!AddExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(certificate, certificate, NID_subject_key_identifier, "hash") ||
      X509_sign(certificate, key, EVP_sha256()) == 0)
    return Fail("cannot make the authority's certificate");
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  const std::string keyText = BioText(out);
  BIO_free(out);
  if (!WritePem(CertificatePath(), certificate) || !WriteWholeFile(directory_ + "/ca.key", keyText) ||
      !WriteWholeFile(directory_ + "/serial", "4096\n"))
    return Fail("cannot write the authority's files in " + directory_);
  std::filesystem::permissions(directory_ + "/ca.key",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ignored);
  return true;
}

bool BankCa::Open(const std::string& directory) {
  directory_ = directory;
  std::string keyText, certificateText;
  if (!ReadWholeFile(directory + "/ca.key", keyText) || !ReadWholeFile(CertificatePath(), certificateText))
    return Fail("no authority in " + directory + " (make one with: bank init)");
  BIO* in = BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size()));
  key_ = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  in = BIO_new_mem_buf(certificateText.data(), static_cast<int>(certificateText.size()));
  certificate_ = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  if (key_ == nullptr || certificate_ == nullptr) return Fail("the authority's files in " + directory + " are damaged");
  return true;
}

long BankCa::NextSerial() {
  long serial = 4096;
  std::ifstream(directory_ + "/serial") >> serial;
  std::ofstream(directory_ + "/serial", std::ios::trunc) << serial + 1 << "\n";
  return serial;
}

// The first subject value holding "/", which reads as the start of another
// attribute in the one-line subject the engine searches; "" when none does.
static std::string ValueWithSlash(X509_NAME* name) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    unsigned char* text = nullptr;
    const int length = ASN1_STRING_to_UTF8(&text, value);
    if (length < 0) continue;
    std::string utf8(reinterpret_cast<char*>(text), static_cast<size_t>(length));
    OPENSSL_free(text);
    if (utf8.find('/') != std::string::npos) return utf8;
  }
  return "";
}

bool BankCa::Issue(const std::string& requestPath, const std::string& certificatePath, int days, long& serial) {
  std::string text;
  if (!ReadWholeFile(requestPath, text)) return Fail("cannot read " + requestPath);
  X509_REQ* request = ReadRequest(text);
  // A GOST key is unknown to libcrypto until the gost engine is loaded.
  if (request != nullptr && X509_REQ_get0_pubkey(request) == nullptr && LoadGostAlgorithms()) {
    X509_REQ_free(request);
    request = ReadRequest(text);
  }
  if (request == nullptr) return Fail(requestPath + " is not a certificate request");
  const std::string forged = ValueWithSlash(X509_REQ_get_subject_name(request));
  if (!forged.empty()) {
    X509_REQ_free(request);
    return Fail("the request's subject holds \"/\" in a value (" + forged +
                "): a subject line would show attributes it does not have");
  }
  EVP_PKEY* publicKey = X509_REQ_get0_pubkey(request);
  if (publicKey == nullptr || X509_REQ_verify(request, publicKey) != 1) {
    X509_REQ_free(request);
    return Fail("the request's signature does not verify");
  }
  serial = NextSerial();
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  X509_set_subject_name(certificate, X509_REQ_get_subject_name(request));
  X509_set_issuer_name(certificate, X509_get_subject_name(Cert(certificate_)));
  X509_gmtime_adj(X509_getm_notBefore(certificate), -kDay);
  X509_gmtime_adj(X509_getm_notAfter(certificate), static_cast<long>(days) * kDay);
  X509_set_pubkey(certificate, publicKey);
  X509_REQ_free(request);
  const bool made = AddExtension(Cert(certificate_), certificate, NID_basic_constraints, "CA:FALSE") &&
                    AddExtension(Cert(certificate_), certificate, NID_key_usage,
                                 "digitalSignature,nonRepudiation,keyEncipherment,keyAgreement") &&
                    X509_sign(certificate, Key(key_), EVP_sha256()) != 0;
  const bool written = made && WritePem(certificatePath, certificate);
  X509_free(certificate);
  if (!made) return Fail("cannot sign the certificate");
  return written || Fail("cannot write " + certificatePath);
}

bool BankCa::WriteCrl(const std::string& path, const std::vector<long>& revokedSerials) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(Cert(certificate_)));
  ASN1_TIME* last = X509_gmtime_adj(nullptr, -kDay);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 30 * kDay);
  X509_CRL_set1_lastUpdate(crl, last);
  X509_CRL_set1_nextUpdate(crl, next);
  for (long serial : revokedSerials) {
    X509_REVOKED* entry = X509_REVOKED_new();
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, serial);
    X509_REVOKED_set_serialNumber(entry, number);
    X509_REVOKED_set_revocationDate(entry, last);
    X509_CRL_add0_revoked(crl, entry);
    ASN1_INTEGER_free(number);
  }
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  X509_CRL_sort(crl);
  const bool signedList = X509_CRL_sign(crl, Key(key_), EVP_sha256()) != 0;
  BIO* out = BIO_new(BIO_s_mem());
  if (signedList) PEM_write_bio_X509_CRL(out, crl);
  const bool written = signedList && WriteWholeFile(path, BioText(out));
  BIO_free(out);
  X509_CRL_free(crl);
  if (!signedList) return Fail("cannot sign the revocation list");
  return written || Fail("cannot write " + path);
}

}  // namespace cryptlib::host
