// The public key transfer: one certificate or request file together with the
// UID it speaks for, in a fixed-size transfer record, signed with an attached
// signature and carried as Base64 text. Banks and other clients exchange these
// texts, so the record's bytes are kept exactly.
//
// Standard record (8452 bytes, the only layout written):
//   0    256   UID, zero-terminated inside the field, zeros after it
//   256  4     data length, signed 32-bit little-endian, 0 to 8192
//   260  8192  data: the file's bytes, zeros after them
// Large record (13828 bytes, read only):
//   0    512   UID, of which only the first 256 bytes count
//   512  4     data length, signed 32-bit little-endian
//   516  13312 data
//
// The text is the Base64 of the signed record (standard alphabet, "="
// padding, no line breaks); with its terminating zero it fits in
// kMaxPublicKeyTransferSize bytes. Signing and verifying belong to the engine:
// they come in as functions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cryptlib.h"

namespace cryptlib {

inline constexpr int32_t kTransferUidSize = 256;
inline constexpr int32_t kTransferLengthOffset = 256;
inline constexpr int32_t kTransferDataOffset = 260;
inline constexpr int32_t kTransferDataSize = 8192;
inline constexpr int32_t kTransferRecordSize = 8452;
inline constexpr int32_t kLargeTransferLengthOffset = 512;
inline constexpr int32_t kLargeTransferDataOffset = 516;
inline constexpr int32_t kLargeTransferDataSize = 13312;
inline constexpr int32_t kLargeTransferRecordSize = 13828;
// Twice the standard record: the room a host gives a transfer text.
inline constexpr int32_t kMaxPublicKeyTransferSize = 16904;
// The UID buffers the signing functions fill (GetMaxUIDLength).
inline constexpr int32_t kSignerUidSize = 40;

// "Can't extract certificate or certificate request file from transfer buffer
// or i/o error.": a verified record that is too short for its layout or
// declares a data length outside what it carries.
inline constexpr int32_t kBadTransferRecordCode = CE_TRANSFER_EXTRACT;

struct TransferRecord {
  std::string uid;   // at most kTransferUidSize bytes, no zero inside
  std::string data;  // the carried file's bytes, at most kTransferDataSize
};

// The standard record for uid and content. -101 (nothing built) when the UID
// and its terminator do not fit the field (256 characters or more), when the
// length is negative or above kTransferDataSize, or when content is null with
// a length above 0.
int32_t BuildTransferRecord(const std::string& uid, const void* content, int32_t length, std::vector<uint8_t>& record);

// Reads a verified record of length bytes: exactly kLargeTransferRecordSize
// reads the large layout, anything else the first kTransferRecordSize bytes as
// a standard record. kBadTransferRecordCode when the bytes are fewer than the
// layout, or when the declared data length is negative, beyond the layout's
// data field, or beyond kTransferDataSize (a standard record cannot hold it).
// Nothing past length bytes is read.
int32_t ParseTransferRecord(const uint8_t* bytes, int32_t length, TransferRecord& record);

// The Base64 text of bytes; empty when there is nothing to encode.
std::string EncodeTransferText(const uint8_t* bytes, int32_t length);
// The bytes of a zero-terminated Base64 text; empty for a null text, a length
// that is not a multiple of 4, or a text that yields no byte. Characters
// outside the alphabet are skipped and decoding stops at the first "=".
std::vector<uint8_t> DecodeTransferText(const char* text);

// The engine's signing side of a transfer.
struct TransferSigner {
  // The current user's full UID.
  std::function<int32_t(std::string& uid)> currentUserUid;
  // Appends an attached signature under signerUid to the *length bytes of
  // buffer, which has room for maxSignAddition more; *length becomes the
  // signed length (AddSign).
  std::function<int32_t(void* buffer, int32_t* length, const char* signerUid)> addSign;
  int32_t maxSignAddition = 0;
};

// Builds the transfer text of uid and content into transfer, a buffer of
// kMaxPublicKeyTransferSize bytes, signed by the current user. 0; -101 for a
// null output or what BuildTransferRecord refuses; a non-zero code of the
// signer's functions unchanged; -102 when the signer reports more bytes than
// it had room for, nothing was encoded, or the text and its zero do not fit.
int32_t MakePublicKeyTransfer(const std::string& uid, const void* content, int32_t length, const TransferSigner& signer,
                              char* transfer);

// Verifies and strips the attached signature of buffer's *length bytes,
// leaving the record at its start and its length in *length, and writes the
// signer's UID into a buffer of kSignerUidSize bytes (RemoveSign).
using RemoveSignFunction = std::function<int32_t(void* buffer, int32_t* length, char* signerUid)>;

// Reads a transfer text into its record. -101 for a null or empty text or one
// that decodes to nothing; removeSign's non-zero code unchanged;
// kBadTransferRecordCode when removeSign reports a length outside the decoded
// bytes, or for what ParseTransferRecord refuses.
int32_t GetPublicKeyBlockByTransfer(const char* transfer, const RemoveSignFunction& removeSign, TransferRecord& record);

}  // namespace cryptlib
