// The data operations behind EncodeData, DecodeData, SignData, VerifyData and
// VerifyDataIgnoreTime, on an open context.
//
// Encrypted data: a text header naming the recipients, the plain length and a
// checksum, a blank line, then the data XORed with kMask. Signatures: the
// record of records.h; an attached one follows the data and ends with a
// 16-byte trailer "FAKESIG:" + seven digits (the record's length) + "\n".
#pragma once

#include <cstdint>

#include "contexts.h"

namespace fake {

inline constexpr unsigned char kMask = 0x5A;
inline constexpr size_t kTrailerLength = 16;

int32_t Encode(Context& context, void* data, int32_t* length, const char* recipients);
int32_t Decode(Context& context, void* data, int32_t* length, char* uid);
int32_t Sign(Context& context, const void* data, int32_t length, void* signature, int32_t* signatureLength,
             const char* signer);
int32_t Verify(Context& context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,
               char* uid, bool checkTime);

}  // namespace fake
