#include "dumps.h"

#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "errors.h"
#include "module.h"
#include "names.h"

namespace ref {
namespace {

const char* Duplicate(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void Release(const char*& text) {
  std::free(const_cast<char*>(text));
  text = nullptr;
}

void FillName(const X509_NAME* name, MPlugNameRecord* record) {
  record->country = Duplicate(NameEntry(name, NID_countryName));
  record->state = Duplicate(NameEntry(name, NID_stateOrProvinceName));
  record->locality = Duplicate(NameEntry(name, NID_localityName));
  record->organisation = Duplicate(NameEntry(name, NID_organizationName));
  record->organisationalUnit = Duplicate(NameEntry(name, NID_organizationalUnitName));
  record->title = Duplicate(NameEntry(name, NID_title));
  record->commonName = Duplicate(NameEntry(name, NID_commonName));
  record->email = Duplicate(NameEntry(name, NID_pkcs9_emailAddress));
}

void ReleaseName(MPlugNameRecord* record) {
  for (const char** field : {&record->country, &record->state, &record->locality, &record->organisation,
                             &record->organisationalUnit, &record->title, &record->commonName, &record->email}) {
    Release(*field);
  }
}

// "Public Key Algorithm: <name>" and then the key as OpenSSL prints it.
std::string PublicKeyText(const X509_PUBKEY* publicKey, EVP_PKEY* key) {
  ASN1_OBJECT* algorithm = nullptr;
  X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, publicKey);
  char name[128] = "";
  if (algorithm != nullptr) OBJ_obj2txt(name, sizeof name, algorithm, 0);
  BioPtr out = EmptyBio();
  if (key != nullptr) EVP_PKEY_print_public(out.get(), key, 0, nullptr);
  ERR_clear_error();
  return std::string("Public Key Algorithm: ") + name + "\n" + BioText(out.get());
}

}  // namespace

std::string CertificateDump(X509* certificate) {
  BioPtr out = EmptyBio();
  if (X509_print_ex(out.get(), certificate, XN_FLAG_COMPAT, X509_FLAG_COMPAT) != 1) {
    FailCrypto(kErrCrypto, "certificate dump");
  }
  return BioText(out.get());
}

std::string FormatTime(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[96];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", parts.tm_mday, parts.tm_mon + 1,
                parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

void FillCertInfo(X509* certificate, MPlugCertInfo* info) {
  info->serialNumber = Duplicate(SerialText(certificate));
  info->validFrom = Duplicate(FormatTime(X509_get0_notBefore(certificate)));
  info->validTo = Duplicate(FormatTime(X509_get0_notAfter(certificate)));
  FillName(X509_get_issuer_name(certificate), &info->issuer);
  FillName(X509_get_subject_name(certificate), &info->subject);
  info->publicKey = Duplicate(PublicKeyText(X509_get_X509_PUBKEY(certificate), X509_get0_pubkey(certificate)));
}

void ReleaseCertInfo(MPlugCertInfo* info) {
  Release(info->serialNumber);
  Release(info->validFrom);
  Release(info->validTo);
  ReleaseName(&info->issuer);
  ReleaseName(&info->subject);
  Release(info->publicKey);
}

void FillReqInfo(X509_REQ* request, MPlugReqInfo* info) {
  FillName(X509_REQ_get_subject_name(request), &info->subject);
  info->publicKey = Duplicate(PublicKeyText(X509_REQ_get_X509_PUBKEY(request), X509_REQ_get0_pubkey(request)));
}

void ReleaseReqInfo(MPlugReqInfo* info) {
  ReleaseName(&info->subject);
  Release(info->publicKey);
}

}  // namespace ref
