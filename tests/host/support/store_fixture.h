// What the certificate store, report and transfer tests share: a user's tree
// inside an area of its own (so a test can see that nothing was made, moved
// or removed beside it), the user Alice with her certificate filed, and
// transfer texts built by hand to play a peer who does not follow the rules.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

constexpr const char* kAliceSubject = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBobSubject = "/C=RU/O=Bank/CN=Bob";

// Standard Base64 with padding, as a peer would write a transfer.
inline std::string Base64(const std::vector<uint8_t>& bytes) {
  static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t chunk = (uint32_t{bytes[i]} << 16) | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0) |
                           (i + 2 < bytes.size() ? uint32_t{bytes[i + 2]} : 0);
    const size_t present = std::min<size_t>(3, bytes.size() - i);
    for (size_t k = 0; k < 4; ++k) text += k <= present ? kAlphabet[(chunk >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

// A transfer record: UID field, a length field that may lie, the data.
inline std::vector<uint8_t> Record(const std::string& uid, const std::string& data, int32_t declaredLength,
                                   size_t recordSize = 8452, size_t uidSize = 256) {
  std::vector<uint8_t> record(recordSize, 0);
  std::memcpy(record.data(), uid.data(), std::min(uid.size(), uidSize));
  const auto bits = static_cast<uint32_t>(declaredLength);
  for (size_t b = 0; b < 4; ++b) record[uidSize + b] = static_cast<uint8_t>(bits >> (8 * b));
  std::memcpy(record.data() + uidSize + 4, data.data(), std::min(data.size(), recordSize - uidSize - 4));
  return record;
}

class StoreTest : public FakeEngineTest {
 public:
  void SetUp() override {
    FakeEngineTest::SetUp();
    area_.MakeDir("certs");
    area_.MakeDir("keys");
    SetParam(2, Certs());
    SetParam(3, area_ / "keys");
    area_.WriteFile("certs/Alice.pem", FakeCertificate(kAliceSubject));
    area_.WriteFile("certs/Bob.pem", FakeCertificate(kBobSubject));
    SetParam(1, Certs() + "/Alice.pem");
  }

  std::string Certs() const { return area_ / "certs"; }
  // Every path below the area, relative to it, directories with a "/"; the
  // directories' lock files (".lock", the engine's bookkeeping) left out.
  std::set<std::string> AreaContents() const {
    namespace fs = std::filesystem;
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(area_.path())) {
      if (entry.path().filename() == ".lock") continue;
      std::string name = fs::relative(entry.path(), area_.path()).generic_string();
      names.insert(entry.is_directory() ? name + "/" : name);
    }
    return names;
  }
  // The transfer text the engine makes for a file.
  std::string TransferOfFile(const std::string& path) const {
    std::vector<char> text(16904, '\0');
    EXPECT_EQ(api().GetPublicKeyTransferByFile(engine(), text.data(), path.c_str()), 0) << path;
    return text.data();
  }
  // A record signed by the engine's user and encoded by hand; the record may
  // be anything a peer chooses to send.
  std::string SignedText(std::vector<uint8_t> record) const {
    auto length = static_cast<int32_t>(record.size());
    record.resize(record.size() + 2048);
    EXPECT_EQ(api().AddSign(engine(), record.data(), &length, nullptr), 0);
    record.resize(static_cast<size_t>(length));
    return Base64(record);
  }

  TestDir area_;
};

}  // namespace cryptlib::test
