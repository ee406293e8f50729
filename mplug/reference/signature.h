// Signatures as CMS signed data (DER) with the signer's certificate inside.
#pragma once

#include <cstdint>

#include "context.h"

namespace ref {

// Detached when signature is given: the signature goes there and
// *signatureLength is its capacity on entry (0 or less: kMaxSignatureLength)
// and its length on return. Attached when signature is null: data becomes the
// signed data with the content inside, *signatureLength being the buffer's
// capacity on entry and the signed length on return. An empty signer means
// the current user.
int32_t Sign(Context& context, const void* data, int32_t length, void* signature, int32_t* signatureLength,
             const char* signer);

// Detached when signature is given; attached when it is null, and then data
// (*length bytes of signed data) gets the content back and *length its size.
// uid (kMaxUidLength bytes) receives the signer's name on success.
int32_t Verify(Context& context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,
               char* uid, bool checkTime);

}  // namespace ref
