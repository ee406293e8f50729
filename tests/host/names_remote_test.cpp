// The one-call remote key generation of a user whose UID is longer than the
// host's 40-byte buffer, over the fake 2.x module: the key name and the
// protection of the new key files use the full UID, so the new key is kept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/support/remote_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kLongName = "Obshchestvo s ogranichennoy otvetstvennostyu Vesna";
const std::string kLongSubject = "/C=RU/O=Bank/CN=" + kLongName;

class LongNameGeneration : public RemoteGenerationTest {
 protected:
  void SetUp() override {
    RemoteGenerationTest::SetUp();
    ASSERT_EQ(Hooks().WriteKeyContainer(keys_.path(), kLongSubject), 0);
    keys_.WriteFile("own.pem", FakeCertificate(kLongSubject));
    AddCertificate(kLongName + ".pem", kLongSubject);
  }
  // The subject of the request the start left in the remote directory.
  std::string RequestSubject() const { return RecordField(ReadWhole(remote_ / "Tmp_cert.pem"), "Subject"); }
};

TEST_F(LongNameGeneration, TheNewKeyIsProtectedForTheFullUidAndNamedAfterIt) {
  uint32_t step = 0;
  ASSERT_EQ(Start(step), 0) << "the protection of the new key found no certificate";
  EXPECT_EQ(step, 1u);
  const auto files = FileNames(remote_.path());
  EXPECT_THAT(files, Contains("mk.dat"));
  EXPECT_THAT(files, Not(Contains("mk.db3")));
  EXPECT_THAT(RequestSubject(), StartsWith(kLongSubject + " (")) << "the key name is the full UID, dated";
  // The request travels signed by the user, named as the host sees him.
  std::vector<char> uid(40, '\0');
  ASSERT_EQ(api().GetUIDByPublicKeyTransfer(engine(), ExchangeText().c_str(), uid.data()), 0);
  EXPECT_EQ(std::string(uid.data()), kLongName.substr(0, 39));
}

}  // namespace
}  // namespace cryptlib::test
