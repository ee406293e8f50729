#include "engine/formats/transfer_record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace cryptlib {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int32_t kSignatureInvalid = 1013;

std::string CertificateFixture() {
  std::ifstream file(std::string(CRYPTLIB_TEST_DATA_DIR) + "/certs/alice.pem", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A visible attached signature: "#SIG#" + signer + "#" + the sum of the
// signed bytes. Verification recomputes the sum, so any changed byte fails.
std::string Trailer(const std::string& signer, const uint8_t* data, int32_t length) {
  const unsigned sum = std::accumulate(data, data + length, 0u);
  return "#SIG#" + signer + "#" + std::to_string(sum);
}

struct FakeSigner {
  std::string user = "Bank Operator";
  int32_t maxSignAddition = 100;
  std::vector<std::string> signedBy;

  TransferSigner Signer() {
    TransferSigner signer;
    signer.currentUserUid = [this](std::string& uid) {
      uid = user;
      return 0;
    };
    signer.addSign = [this](void* buffer, int32_t* length, const char* uid) {
      signedBy.push_back(uid);
      auto* bytes = static_cast<uint8_t*>(buffer);
      const std::string trailer = Trailer(uid, bytes, *length);
      std::memcpy(bytes + *length, trailer.data(), trailer.size());
      *length += static_cast<int32_t>(trailer.size());
      return 0;
    };
    signer.maxSignAddition = maxSignAddition;
    return signer;
  }
};

int32_t VerifyAndStrip(void* buffer, int32_t* length, char* signerUid) {
  const std::string text(static_cast<const char*>(buffer), static_cast<size_t>(*length));
  const size_t at = text.rfind("#SIG#");
  if (at == std::string::npos) return kSignatureInvalid;
  const size_t sumAt = text.find('#', at + 5);
  const std::string signer = text.substr(at + 5, sumAt - at - 5);
  const auto* data = static_cast<const uint8_t*>(buffer);
  if (sumAt == std::string::npos || text.substr(at) != Trailer(signer, data, static_cast<int32_t>(at)))
    return kSignatureInvalid;
  std::strncpy(signerUid, signer.c_str(), kSignerUidSize - 1);
  *length = static_cast<int32_t>(at);
  return 0;
}

// Signatures are not what the layout tests look at.
int32_t NoSignature(void*, int32_t*, char*) {
  return 0;
}

void PutLength(Bytes& record, size_t offset, int32_t value) {
  std::memcpy(record.data() + offset, &value, sizeof value);  // little-endian hosts only
}

// A record of size bytes: the UID at 0, the declared length at lengthOffset.
Bytes RecordOf(size_t size, const std::string& uid, size_t lengthOffset, int32_t declared) {
  Bytes record(size, 'd');
  std::memset(record.data(), 0, lengthOffset);
  std::memcpy(record.data(), uid.data(), uid.size());
  PutLength(record, lengthOffset, declared);
  return record;
}

int32_t Parse(const Bytes& record, TransferRecord& parsed) {
  const std::string text = EncodeTransferText(record.data(), static_cast<int32_t>(record.size()));
  return GetPublicKeyBlockByTransfer(text.c_str(), NoSignature, parsed);
}

TEST(TransferRecord, StandardLayoutBytes) {
  Bytes record;
  // 0x0102 bytes: the length field shows its byte order.
  const std::string content = "-----BEGIN CERTIFICATE-----\n" + std::string(0x0102 - 28, 'p');
  ASSERT_EQ(BuildTransferRecord("Alice", content.data(), 0x0102, record), 0);
  ASSERT_EQ(record.size(), 8452u);
  EXPECT_EQ(std::string(record.begin(), record.begin() + 5), "Alice");
  EXPECT_EQ(Bytes(record.begin() + 5, record.begin() + 256), Bytes(251, 0));
  EXPECT_EQ(Bytes(record.begin() + 256, record.begin() + 260), (Bytes{0x02, 0x01, 0, 0}));
  EXPECT_EQ(std::string(record.begin() + 260, record.begin() + 260 + 0x0102), content);
  EXPECT_EQ(Bytes(record.begin() + 260 + 0x0102, record.end()), Bytes(8452 - 260 - 0x0102, 0));
}

TEST(TransferRecord, RefusesWhatDoesNotFitItsFields) {
  Bytes record;
  const std::string content(8193, 'c');
  EXPECT_EQ(BuildTransferRecord(std::string(255, 'u'), content.data(), 8192, record), 0);
  EXPECT_EQ(BuildTransferRecord(std::string(256, 'u'), content.data(), 10, record), -101);
  EXPECT_EQ(BuildTransferRecord("Alice", content.data(), 8193, record), -101);
  EXPECT_EQ(BuildTransferRecord("Alice", content.data(), -1, record), -101);
  EXPECT_EQ(BuildTransferRecord("Alice", nullptr, 1, record), -101);
  EXPECT_EQ(BuildTransferRecord("Alice", nullptr, 0, record), 0);
}

TEST(PublicKeyTransfer, RoundTripsACertificate) {
  const std::string pem = CertificateFixture();
  ASSERT_THAT(pem, ::testing::StartsWith("-----BEGIN CERTIFICATE-----"));
  FakeSigner fake;
  std::vector<char> text(kMaxPublicKeyTransferSize, '#');
  ASSERT_EQ(
      MakePublicKeyTransfer("Alice Smith", pem.data(), static_cast<int32_t>(pem.size()), fake.Signer(), text.data()),
      0);
  EXPECT_EQ(fake.signedBy, std::vector<std::string>{"Bank Operator"});
  const std::string transfer(text.data());
  EXPECT_EQ(transfer.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  // The text holds the record exactly as built, then the signature.
  const Bytes decoded = DecodeTransferText(transfer.c_str());
  Bytes record;
  ASSERT_EQ(BuildTransferRecord("Alice Smith", pem.data(), static_cast<int32_t>(pem.size()), record), 0);
  ASSERT_GT(decoded.size(), record.size());
  EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + 8452), record);

  TransferRecord parsed;
  ASSERT_EQ(GetPublicKeyBlockByTransfer(transfer.c_str(), VerifyAndStrip, parsed), 0);
  EXPECT_EQ(parsed.uid, "Alice Smith");
  EXPECT_EQ(parsed.data, pem);
}

TEST(PublicKeyTransfer, SignerFailuresComeBackUnchanged) {
  FakeSigner fake;
  char text[kMaxPublicKeyTransferSize] = "untouched";
  TransferSigner noUser = fake.Signer();
  noUser.currentUserUid = [](std::string&) { return 1005; };
  EXPECT_EQ(MakePublicKeyTransfer("Alice", "x", 1, noUser, text), 1005);
  EXPECT_TRUE(fake.signedBy.empty());
  TransferSigner refusing = fake.Signer();
  refusing.addSign = [](void*, int32_t*, const char*) { return 1013; };
  EXPECT_EQ(MakePublicKeyTransfer("Alice", "x", 1, refusing, text), 1013);
  EXPECT_EQ(MakePublicKeyTransfer("Alice", "x", 1, fake.Signer(), nullptr), -101);
  EXPECT_EQ(MakePublicKeyTransfer(std::string(256, 'u'), "x", 1, fake.Signer(), text), -101);
  EXPECT_STREQ(text, "untouched");
}

TEST(PublicKeyTransfer, ASignerClaimingMoreThanItsRoomIsRefused) {
  FakeSigner fake;
  char text[kMaxPublicKeyTransferSize] = "untouched";
  for (int32_t claimed : {8452 + 101, -1}) {
    TransferSigner lying = fake.Signer();
    lying.addSign = [claimed](void*, int32_t* length, const char*) {
      *length = claimed;
      return 0;
    };
    EXPECT_EQ(MakePublicKeyTransfer("Alice", "x", 1, lying, text), -102) << claimed;
  }
  EXPECT_STREQ(text, "untouched");
}

TEST(PublicKeyTransfer, TextAndZeroMustFitTheTransferSize) {
  // 12675 signed bytes give 16900 characters, the most that fits with the zero.
  for (const auto& [added, expected] : {std::pair{4223, 0}, std::pair{4224, -102}}) {
    FakeSigner fake;
    fake.maxSignAddition = 5000;
    TransferSigner padding = fake.Signer();
    const int32_t extra = added;
    padding.addSign = [extra](void*, int32_t* length, const char*) {
      *length += extra;
      return 0;
    };
    std::vector<char> text(kMaxPublicKeyTransferSize + 8, '#');
    EXPECT_EQ(MakePublicKeyTransfer("Alice", "x", 1, padding, text.data()), expected) << added;
    if (expected == 0) {
      EXPECT_EQ(std::strlen(text.data()), 16900u);
    }
    EXPECT_EQ(std::string(text.end() - 8, text.end()), std::string(8, '#'));
  }
}

TEST(TransferParsing, RefusesEmptyAndUndecodableTexts) {
  TransferRecord parsed;
  for (const char* text : {static_cast<const char*>(nullptr), "", "!!!!", "====", "YWJ"})
    EXPECT_EQ(GetPublicKeyBlockByTransfer(text, NoSignature, parsed), -101) << (text ? text : "null");
}

TEST(TransferParsing, RepaddedAndRewrappedTexts) {
  FakeSigner fake;
  std::vector<char> text(kMaxPublicKeyTransferSize);
  ASSERT_EQ(MakePublicKeyTransfer("Alice", "data", 4, fake.Signer(), text.data()), 0);
  const std::string transfer(text.data());
  TransferRecord parsed;
  // Padding beyond the first "=" and breaks that keep the length a multiple
  // of four are skipped; a length that is not a multiple of four is not text.
  const std::string padded = transfer + "====";
  const std::string wrapped = transfer.substr(0, 76) + "\r\n" + transfer.substr(76, 76) + "\r\n" + transfer.substr(152);
  for (const std::string& variant : {padded, wrapped}) {
    ASSERT_EQ(GetPublicKeyBlockByTransfer(variant.c_str(), VerifyAndStrip, parsed), 0);
    EXPECT_EQ(parsed.data, "data");
  }
  const std::string oneBreak = transfer.substr(0, 76) + "\n" + transfer.substr(76);
  EXPECT_EQ(GetPublicKeyBlockByTransfer(oneBreak.c_str(), VerifyAndStrip, parsed), -101);
}

TEST(TransferParsing, TruncatedTextFailsVerificationOrTheRecordSize) {
  FakeSigner fake;
  std::vector<char> text(kMaxPublicKeyTransferSize);
  ASSERT_EQ(MakePublicKeyTransfer("Alice", "data", 4, fake.Signer(), text.data()), 0);
  const std::string truncated = std::string(text.data()).substr(0, 4000);
  TransferRecord parsed;
  EXPECT_EQ(GetPublicKeyBlockByTransfer(truncated.c_str(), VerifyAndStrip, parsed), kSignatureInvalid);
  EXPECT_EQ(GetPublicKeyBlockByTransfer(truncated.c_str(), NoSignature, parsed), kBadTransferRecordCode);
}

TEST(TransferParsing, VerifierThatReportsALengthOutsideTheBytesIsRefused) {
  const std::string text = EncodeTransferText(RecordOf(8452, "A", 256, 1).data(), 8452);
  TransferRecord parsed;
  for (int32_t claimed : {8453, -1}) {
    const RemoveSignFunction lying = [claimed](void*, int32_t* length, char*) {
      *length = claimed;
      return 0;
    };
    EXPECT_EQ(GetPublicKeyBlockByTransfer(text.c_str(), lying, parsed), kBadTransferRecordCode) << claimed;
  }
}

TEST(TransferParsing, StandardLayoutFromTheFirstRecordBytes) {
  TransferRecord parsed;
  ASSERT_EQ(Parse(RecordOf(8452, "Alice", 256, 8192), parsed), 0);
  EXPECT_EQ(parsed.uid, "Alice");
  EXPECT_EQ(parsed.data, std::string(8192, 'd'));
  // Bytes after a record that is not of the large size are not read.
  Bytes longer = RecordOf(8452 + 30, "Bob", 256, 3);
  ASSERT_EQ(Parse(longer, parsed), 0);
  EXPECT_EQ(parsed.uid, "Bob");
  EXPECT_EQ(parsed.data, "ddd");
  // A UID that fills its field has no terminator: it ends with the field.
  ASSERT_EQ(Parse(RecordOf(8452, std::string(256, 'u'), 256, 0), parsed), 0);
  EXPECT_EQ(parsed.uid, std::string(256, 'u'));
  EXPECT_EQ(parsed.data, "");
}

TEST(TransferParsing, LargeLayoutOnlyAtItsExactSize) {
  TransferRecord parsed;
  Bytes large = RecordOf(13828, std::string(300, 'L'), 512, 8192);
  large[516] = 'D';
  ASSERT_EQ(Parse(large, parsed), 0);
  EXPECT_EQ(parsed.uid, std::string(256, 'L'));
  EXPECT_EQ(parsed.data.size(), 8192u);
  EXPECT_EQ(parsed.data[0], 'D');
  // One byte less: read as a standard record, whose length field holds "LLLL".
  large.pop_back();
  EXPECT_EQ(Parse(large, parsed), kBadTransferRecordCode);
}

TEST(TransferParsing, DeclaredLengthsOutsideTheRecordAreRefused) {
  TransferRecord parsed;
  const struct {
    size_t size;
    size_t lengthOffset;
    int32_t declared;
  } lying[] = {
      {8452, 256, 8193},   {8452, 256, -1},     {8452, 256, INT_MIN}, {13000, 256, 9000},    {13828, 512, 8193},
      {13828, 512, 13312}, {13828, 512, 13313}, {13828, 512, -5},     {13828, 512, INT_MAX},
  };
  for (const auto& record : lying) {
    parsed = TransferRecord{"old", "old"};
    EXPECT_EQ(Parse(RecordOf(record.size, "A", record.lengthOffset, record.declared), parsed), kBadTransferRecordCode)
        << record.size << " " << record.declared;
  }
}

TEST(TransferParsing, ContentShorterThanARecordIsRefused) {
  TransferRecord parsed;
  // Exactly the verified bytes exist: a read past them would also be caught
  // by the address sanitizer.
  EXPECT_EQ(Parse(RecordOf(8451, "A", 256, 10), parsed), kBadTransferRecordCode);
  for (size_t size : {size_t{300}, size_t{4}, size_t{1}})
    EXPECT_EQ(Parse(Bytes(size, 'x'), parsed), kBadTransferRecordCode) << size;
  EXPECT_EQ(ParseTransferRecord(nullptr, 8452, parsed), kBadTransferRecordCode);
}

}  // namespace
}  // namespace cryptlib
