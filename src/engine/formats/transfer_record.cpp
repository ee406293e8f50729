#include "engine/formats/transfer_record.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "cryptlib.h"
#include "support/mimecode.h"

namespace cryptlib {
namespace {

constexpr int32_t kBadArgument = CE_BAD_ARGUMENT;
constexpr int32_t kException = CE_EXCEPTION;

struct Layout {
  int32_t size;
  int32_t lengthOffset;
  int32_t dataOffset;
  int32_t dataSize;
};

constexpr Layout kStandardLayout{kTransferRecordSize, kTransferLengthOffset, kTransferDataOffset, kTransferDataSize};
constexpr Layout kLargeLayout{kLargeTransferRecordSize, kLargeTransferLengthOffset, kLargeTransferDataOffset,
                              kLargeTransferDataSize};

void StoreLittleEndian(int32_t value, uint8_t* target) {
  const auto bits = static_cast<uint32_t>(value);
  for (int byte = 0; byte < 4; ++byte) target[byte] = static_cast<uint8_t>(bits >> (8 * byte));
}

int32_t LoadLittleEndian(const uint8_t* source) {
  uint32_t bits = 0;
  for (int byte = 0; byte < 4; ++byte) bits |= static_cast<uint32_t>(source[byte]) << (8 * byte);
  return static_cast<int32_t>(bits);
}

// The UID field's text up to its zero, never more than kTransferUidSize bytes.
std::string UidOf(const uint8_t* field) {
  const auto* zero = static_cast<const uint8_t*>(std::memchr(field, 0, kTransferUidSize));
  const size_t length = zero != nullptr ? static_cast<size_t>(zero - field) : kTransferUidSize;
  return std::string(reinterpret_cast<const char*>(field), length);
}

int32_t ReadLayout(const uint8_t* bytes, const Layout& layout, TransferRecord& record) {
  const int32_t dataLength = LoadLittleEndian(bytes + layout.lengthOffset);
  if (dataLength < 0 || dataLength > std::min(layout.dataSize, kTransferDataSize)) return kBadTransferRecordCode;
  record.uid = UidOf(bytes);
  record.data.assign(reinterpret_cast<const char*>(bytes + layout.dataOffset), static_cast<size_t>(dataLength));
  return 0;
}

// Releases what the Base64 codec allocated.
template <typename T>
using CodecBuffer = std::unique_ptr<T[]>;

}  // namespace

int32_t BuildTransferRecord(const std::string& uid, const void* content, int32_t length, std::vector<uint8_t>& record) {
  if (uid.size() >= static_cast<size_t>(kTransferUidSize) || length < 0 || length > kTransferDataSize ||
      (content == nullptr && length > 0))
    return kBadArgument;
  // Zeros fill the record behind the UID and the data: no stale memory leaves
  // the engine inside a transfer.
  record.assign(kTransferRecordSize, 0);
  std::memcpy(record.data(), uid.data(), uid.size());
  StoreLittleEndian(length, record.data() + kTransferLengthOffset);
  if (length > 0) std::memcpy(record.data() + kTransferDataOffset, content, static_cast<size_t>(length));
  return 0;
}

int32_t ParseTransferRecord(const uint8_t* bytes, int32_t length, TransferRecord& record) {
  if (bytes == nullptr || length < kTransferRecordSize) return kBadTransferRecordCode;
  return ReadLayout(bytes, length == kLargeTransferRecordSize ? kLargeLayout : kStandardLayout, record);
}

std::string EncodeTransferText(const uint8_t* bytes, int32_t length) {
  char* raw = nullptr;
  int32_t textLength = 0;
  Base64Encode(bytes, length, raw, textLength);
  const CodecBuffer<char> text(raw);
  return text ? std::string(text.get(), static_cast<size_t>(textLength)) : std::string();
}

std::vector<uint8_t> DecodeTransferText(const char* text) {
  if (text == nullptr) return {};
  uint8_t* raw = nullptr;
  int32_t length = 0;
  const size_t textLength = std::strlen(text);
  // Beyond 32 bits no transfer fits anyway; the codec takes 32-bit lengths.
  if (textLength > static_cast<size_t>(INT32_MAX)) return {};
  Base64Decode(text, static_cast<int32_t>(textLength), raw, length);
  const CodecBuffer<uint8_t> bytes(raw);
  return bytes ? std::vector<uint8_t>(bytes.get(), bytes.get() + length) : std::vector<uint8_t>();
}

int32_t MakePublicKeyTransfer(const std::string& uid, const void* content, int32_t length, const TransferSigner& signer,
                              char* transfer) {
  if (transfer == nullptr) return kBadArgument;
  std::vector<uint8_t> record;
  if (const int32_t status = BuildTransferRecord(uid, content, length, record); status != 0) return status;
  std::string signerUid;
  if (const int32_t status = signer.currentUserUid(signerUid); status != 0) return status;
  std::vector<uint8_t> signedRecord(record);
  signedRecord.resize(record.size() + static_cast<size_t>(std::max(signer.maxSignAddition, 0)));
  int32_t signedLength = kTransferRecordSize;
  if (const int32_t status = signer.addSign(signedRecord.data(), &signedLength, signerUid.c_str()); status != 0)
    return status;
  if (signedLength < 0 || static_cast<size_t>(signedLength) > signedRecord.size()) return kException;
  const std::string text = EncodeTransferText(signedRecord.data(), signedLength);
  if (text.empty() || text.size() + 1 > static_cast<size_t>(kMaxPublicKeyTransferSize)) return kException;
  std::memcpy(transfer, text.c_str(), text.size() + 1);
  return 0;
}

int32_t GetPublicKeyBlockByTransfer(const char* transfer, const RemoveSignFunction& removeSign,
                                    TransferRecord& record) {
  if (transfer == nullptr || *transfer == '\0') return kBadArgument;
  std::vector<uint8_t> bytes = DecodeTransferText(transfer);
  if (bytes.empty()) return kBadArgument;
  int32_t length = static_cast<int32_t>(bytes.size());
  char signerUid[kSignerUidSize + 1] = {};
  if (const int32_t status = removeSign(bytes.data(), &length, signerUid); status != 0) return status;
  if (length < 0 || static_cast<size_t>(length) > bytes.size()) return kBadTransferRecordCode;
  return ParseTransferRecord(bytes.data(), length, record);
}

}  // namespace cryptlib
