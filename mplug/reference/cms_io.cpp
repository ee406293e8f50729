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
  BioPtr out = EmptyBio();
  if (i2d_CMS_bio(out.get(), cms) != 1) FailCrypto(kErrCrypto, "DER encoding of CMS data");
  return BioText(out.get());
}

void Deliver(const std::string& bytes, void* buffer, int32_t capacity, int32_t* length) {
  if (bytes.size() > static_cast<size_t>(capacity)) {
    Fail(kErrBufferTooSmall, std::to_string(bytes.size()) + " bytes needed, room for " + std::to_string(capacity));
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  *length = static_cast<int32_t>(bytes.size());
}

}  // namespace ref
