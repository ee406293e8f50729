// CMS structures to and from bytes.
#pragma once

#include <string>

#include "ossl.h"

namespace ref {

// DER, or PEM ("-----BEGIN CMS-----" / "PKCS7"); nullptr when neither.
CmsPtr ParseCms(const void* data, size_t size);
std::string CmsDer(CMS_ContentInfo* cms);

// Copies bytes into a caller's buffer of the given capacity and sets the
// length cell; kErrBufferTooSmall (naming the size needed) when they do not fit.
void Deliver(const std::string& bytes, void* buffer, int32_t capacity, int32_t* length);

}  // namespace ref
