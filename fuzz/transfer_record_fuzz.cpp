// The transfer record as it arrives from a peer: arbitrary bytes read as a
// record, and arbitrary text decoded as Base64 and then read as a record.
// Whatever a record declares, the parser copies only what the received bytes
// hold, and a record it accepts builds back into the same content.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/formats/transfer_record.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckRecord(const uint8_t* bytes, size_t size) {
  // Exactly the received bytes on the heap: a read past them is reported.
  const std::vector<uint8_t> received(bytes, bytes + size);
  cryptlib::TransferRecord record;
  const auto length = static_cast<int32_t>(size);
  const int32_t result = cryptlib::ParseTransferRecord(received.data(), length, record);
  if (result != 0) {
    Require(result == cryptlib::kBadTransferRecordCode);
    return;
  }
  Require(size >= static_cast<size_t>(cryptlib::kTransferRecordSize));
  Require(record.uid.size() <= static_cast<size_t>(cryptlib::kTransferUidSize));
  Require(record.uid.find('\0') == std::string::npos);
  Require(record.data.size() <= static_cast<size_t>(cryptlib::kTransferDataSize));
  const size_t dataOffset = size == static_cast<size_t>(cryptlib::kLargeTransferRecordSize)
                                ? cryptlib::kLargeTransferDataOffset
                                : cryptlib::kTransferDataOffset;
  Require(std::memcmp(record.data.data(), received.data() + dataOffset, record.data.size()) == 0);

  // What was accepted is carried on unchanged by a standard record, except a
  // UID filling the whole field: a record the engine writes keeps its zero.
  std::vector<uint8_t> rebuilt;
  const int32_t built =
      cryptlib::BuildTransferRecord(record.uid, record.data.data(), static_cast<int32_t>(record.data.size()), rebuilt);
  if (record.uid.size() == static_cast<size_t>(cryptlib::kTransferUidSize)) {
    Require(built == -101);
    return;
  }
  Require(built == 0);
  cryptlib::TransferRecord again;
  Require(cryptlib::ParseTransferRecord(rebuilt.data(), static_cast<int32_t>(rebuilt.size()), again) == 0);
  Require(again.uid == record.uid && again.data == record.data);
}

void CheckText(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<uint8_t> decoded = cryptlib::DecodeTransferText(text.c_str());
  const size_t textLength = std::strlen(text.c_str());
  Require(decoded.size() <= textLength / 4 * 3);
  if (decoded.empty()) return;
  // The canonical text of the decoded bytes decodes to the same bytes.
  const std::string canonical = cryptlib::EncodeTransferText(decoded.data(), static_cast<int32_t>(decoded.size()));
  Require(cryptlib::DecodeTransferText(canonical.c_str()) == decoded);
  CheckRecord(decoded.data(), decoded.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  CheckRecord(data, size);
  CheckText(data, size);
  return 0;
}
