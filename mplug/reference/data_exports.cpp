// Encryption and signatures.
#include <openssl/cms.h>

#include "certificates.h"
#include "cms_io.h"
#include "envelope.h"
#include "exports.h"
#include "files.h"
#include "guard.h"
#include "signature.h"

using namespace ref;

extern "C" {

int32_t MPLUG_CALL EncodeData(MPlugContext context, void* data, int32_t* length, const char* recipients) {
  return OnContext(context, [&](Context& open) { return EncodeInPlace(open, data, length, recipients); });
}

int32_t MPLUG_CALL DecodeData(MPlugContext context, void* data, int32_t* length, char* uid) {
  return OnContext(context, [&](Context& open) { return DecodeInPlace(open, data, length, uid); });
}

int32_t MPLUG_CALL SignData(MPlugContext context, const void* data, int32_t length, void* signature,
                            int32_t* signatureLength, const char* signer) {
  return OnContext(context,
                   [&](Context& open) { return Sign(open, data, length, signature, signatureLength, signer); });
}

int32_t MPLUG_CALL VerifyData(MPlugContext context, const void* data, int32_t* length, const void* signature,
                              int32_t signatureLength, char* uid) {
  return OnContext(context,
                   [&](Context& open) { return Verify(open, data, length, signature, signatureLength, uid, true); });
}

int32_t MPLUG_CALL VerifyDataIgnoreTime(MPlugContext context, const void* data, int32_t* length, const void* signature,
                                        int32_t signatureLength, char* uid) {
  return OnContext(context,
                   [&](Context& open) { return Verify(open, data, length, signature, signatureLength, uid, false); });
}

// Replaces a file holding attached signed data by its content, unverified.
int32_t MPLUG_CALL RemoveSignaturesFromFile(MPlugContext context, const char* fileName) {
  return OnContext(context, [&](Context&) {
    std::string path = RequirePath(fileName != nullptr ? fileName : "", kErrBadArguments);
    std::optional<std::string> contents = ReadWholeFile(path);
    if (!contents) Fail(kErrBadArguments, path);
    CmsPtr cms = ParseCms(contents->data(), contents->size());
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) Fail(kErrNoSignature, path);
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (content == nullptr || *content == nullptr) Fail(kErrNoSignature, "detached signature in " + path);
    WriteWholeFile(path,
                   std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                               static_cast<size_t>(ASN1_STRING_length(*content))),
                   Visibility::kPublic);
    return kOk;
  });
}

}  // extern "C"
