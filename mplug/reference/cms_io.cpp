#include "cms_io.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>

#include "errors.h"
#include "module.h"

namespace ref {

CmsPtr ParseCms(const void* data, size_t size) {
  if (data == nullptr || size == 0) return nullptr;
  BioPtr bio = MemoryBio(data, size);
  static const char kArmour[] = "-----BEGIN";
  bool armoured = size >= sizeof kArmour - 1 && std::memcmp(data, kArmour, sizeof kArmour - 1) == 0;
  CmsPtr cms(armoured ? PEM_read_bio_CMS(bio.get(), nullptr, nullptr, nullptr) : d2i_CMS_bio(bio.get(), nullptr));
  ERR_clear_error();
  return cms;
}

std::string CmsDer(CMS_ContentInfo* cms) {
  // Straight into the result: a memory BIO costs several times the encoding
  // of a small message.
  const int size = i2d_CMS_ContentInfo(cms, nullptr);
  if (size <= 0) FailCrypto(kErrCrypto, "DER encoding of CMS data");
  std::string der(static_cast<size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_CMS_ContentInfo(cms, &out) != size) FailCrypto(kErrCrypto, "DER encoding of CMS data");
  return der;
}

void Deliver(const std::string& bytes, void* buffer, int32_t capacity, int32_t* length) {
  if (bytes.size() > static_cast<size_t>(capacity)) {
    Fail(kErrBufferTooSmall, std::to_string(bytes.size()) + " bytes needed, room for " + std::to_string(capacity));
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  *length = static_cast<int32_t>(bytes.size());
}

}  // namespace ref
