// Encryption for recipients as CMS enveloped data (DER), in place; with an
// authenticated cipher (AES-256-GCM) as CMS authenticated enveloped data.
#pragma once

#include <cstdint>

#include "context.h"

namespace ref {

// Recipients: names separated by ";" (empty entries skipped); none means the
// current user. The buffer holds *length plain bytes on entry and the
// enveloped data on return; the growth never exceeds kMaxEncodeAddition.
int32_t EncodeInPlace(Context& context, void* data, int32_t* length, const char* recipients);

// Decrypts with the private key of the own certificate; uid (may be null,
// kMaxUidLength bytes) receives the current user's name.
int32_t DecodeInPlace(Context& context, void* data, int32_t* length, char* uid);

}  // namespace ref
