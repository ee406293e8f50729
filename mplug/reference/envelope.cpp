#include "envelope.h"

#include <openssl/cms.h>
#include <openssl/err.h>

#include <string>
#include <vector>

#include "algorithms.h"
#include "cms_io.h"
#include "errors.h"
#include "module.h"
#include "token.h"

namespace ref {
namespace {

std::vector<std::string> SplitNames(const char* list) {
  std::vector<std::string> names;
  std::string current;
  for (const char* p = list != nullptr ? list : "";; ++p) {
    if (*p == ';' || *p == '\0') {
      if (!current.empty()) names.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += *p;
    }
  }
  return names;
}

std::vector<HolderPtr> Recipients(Context& context, const char* list) {
  std::vector<std::string> names = SplitNames(list);
  if (names.empty()) return {context.Own()};
  if (names.size() > static_cast<size_t>(kMaxRecipients)) {
    Fail(kErrTooManyRecipients,
         std::to_string(names.size()) + " recipients, at most " + std::to_string(kMaxRecipients));
  }
  std::vector<HolderPtr> holders;
  for (const std::string& name : names) {
    HolderPtr holder = context.FindHolder(name);
    if (!holder) Fail(kErrCertificateNotFound, name);
    holders.push_back(holder);
  }
  return holders;
}

// The GOST key transport takes the content cipher from the recipient's own
// key context, so GOST recipients are added with CMS_KEY_PARAM and the cipher
// set there before CMS_final.
void AddRecipient(CMS_ContentInfo* cms, const Holder& holder, const EVP_CIPHER* cipher) {
  X509* certificate = holder.certificate.get();
  if (!IsGostKey(X509_get0_pubkey(certificate))) {
    if (CMS_add1_recipient_cert(cms, certificate, CMS_BINARY) == nullptr) {
      FailCrypto(kErrCrypto, "recipient " + holder.subjectLine);
    }
    return;
  }
  CMS_RecipientInfo* recipient = CMS_add1_recipient(cms, certificate, nullptr, nullptr, CMS_KEY_PARAM);
  EVP_PKEY_CTX* keyContext = recipient != nullptr ? CMS_RecipientInfo_get0_pkey_ctx(recipient) : nullptr;
  if (keyContext == nullptr ||
      EVP_PKEY_CTX_ctrl(keyContext, -1, -1, EVP_PKEY_CTRL_CIPHER, EVP_CIPHER_get_nid(cipher), nullptr) <= 0) {
    FailCrypto(kErrCrypto, "GOST recipient " + holder.subjectLine);
  }
}

// Whether one of the recipient infos names the certificate (key transport or
// key agreement); decryption is attempted only then, so that a foreign
// envelope is told apart from a damaged one.
bool AddressedTo(CMS_ContentInfo* cms, X509* certificate) {
  STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(cms);
  for (int i = 0; i < sk_CMS_RecipientInfo_num(recipients); ++i) {
    CMS_RecipientInfo* recipient = sk_CMS_RecipientInfo_value(recipients, i);
    switch (CMS_RecipientInfo_type(recipient)) {
      case CMS_RECIPINFO_TRANS:
        if (CMS_RecipientInfo_ktri_cert_cmp(recipient, certificate) == 0) return true;
        break;
      case CMS_RECIPINFO_AGREE: {
        STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(recipient);
        for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k) {
          if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k), certificate) == 0) {
            return true;
          }
        }
        break;
      }
      default:
        break;
    }
  }
  return false;
}

// Enveloped data, or authenticated enveloped data (AES-GCM) from any peer.
bool IsEnveloped(CMS_ContentInfo* cms) {
  const int type = OBJ_obj2nid(CMS_get0_type(cms));
  return type == NID_pkcs7_enveloped || type == NID_id_smime_ct_authEnvelopedData;
}

}  // namespace

int32_t EncodeInPlace(Context& context, void* data, int32_t* length, const char* recipients) {
  if (data == nullptr || length == nullptr || *length < 0) Fail(kErrBadArguments, "data or length");
  std::vector<HolderPtr> holders = Recipients(context, recipients);
  const EVP_CIPHER* cipher = ChooseCipher(context.Param(kCipherParam));
  const unsigned flags = CMS_BINARY | CMS_PARTIAL;
  CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, flags));
  if (!cms) FailCrypto(kErrCrypto, "enveloped data");
  for (const HolderPtr& holder : holders) AddRecipient(cms.get(), *holder, cipher);
  BioPtr plain = MemoryBio(data, static_cast<size_t>(*length));
  if (CMS_final(cms.get(), plain.get(), nullptr, flags) != 1) FailCrypto(kErrCrypto, "encryption");
  std::string enveloped = CmsDer(cms.get());
  size_t limit = static_cast<size_t>(*length) + static_cast<size_t>(kMaxEncodeAddition);
  if (enveloped.size() > limit) {
    Fail(kErrTooManyRecipients, "the data would grow by " + std::to_string(enveloped.size() - *length) + " bytes");
  }
  Deliver(enveloped, data, static_cast<int32_t>(limit), length);
  return kOk;
}

int32_t DecodeInPlace(Context& context, void* data, int32_t* length, char* uid) {
  if (data == nullptr || length == nullptr || *length <= 0) Fail(kErrBadArguments, "data or length");
  CmsPtr cms = ParseCms(data, static_cast<size_t>(*length));
  if (!cms || !IsEnveloped(cms.get())) Fail(kErrNotEncrypted, "not CMS enveloped data");
  HolderPtr own = context.Own();
  if (!AddressedTo(cms.get(), own->certificate.get())) Fail(kErrNotForUser, own->subjectLine);
  std::shared_ptr<const ContainerKeys> keys = context.Keys();
  EVP_PKEY* key = context.KeyFor(*keys, *own);
  BioPtr plain = EmptyBio();
  if (CMS_decrypt(cms.get(), key, own->certificate.get(), nullptr, plain.get(), CMS_BINARY) != 1) {
    RethrowTokenFailure();  // a token key that could not decrypt (token pulled ...)
    FailCrypto(kErrNotEncrypted, own->subjectLine);
  }
  // The plain text is always shorter than its envelope, so it fits in place.
  Deliver(BioText(plain.get()), data, *length, length);
  if (uid != nullptr) CopyText(context.NameOf(*own), uid, kMaxUidLength);
  return kOk;
}

}  // namespace ref
