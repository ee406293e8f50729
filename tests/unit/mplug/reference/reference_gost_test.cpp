// GOST through the reference module: GOST R 34.10-2012 keys with Streebog
// signatures and gost89 ("RUS-GAMMAR") envelopes, between two abonents of the
// test bank. Skipped when the gost engine cannot be loaded on this machine
// (reference_nogost_test covers that case).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

using cryptlib::test::TestDir;
using namespace reftest;

class ReferenceGostTest : public testing::Test {
 protected:
  void SetUp() override {
    int32_t code = bank_.Enroll(ivan_, "Ivan", 0x101, "R3410-R3411");
    if (code == ref::kErrGostUnavailable) GTEST_SKIP() << "gost engine not available";
    ASSERT_EQ(code, 0);
    ASSERT_EQ(bank_.Enroll(olga_, "Olga", 0x102, "R3410-R3411"), 0);
    bank_.Configure(ivanSession_, ivan_, "RUS-GAMMAR", "R3410-R3411");
    bank_.Configure(olgaSession_, olga_, "RUS-GAMMAR", "R3410-R3411");
  }

  TestDir dir_;
  Bank bank_{dir_.path()};
  Abonent ivan_, olga_;
  Session ivanSession_, olgaSession_;
};

TEST_F(ReferenceGostTest, Gost89EnvelopeOpensForBothRecipients) {
  // Above 4 KiB on purpose: some GOST modes go wrong only past that size.
  std::string plain(10000, 'g');
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 31 % 251);
  std::vector<char> buffer(plain.size() + static_cast<size_t>(ivanSession_.module().GetMaxEncodeAddition()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  std::string recipients = ivan_.subjectLine + ";" + olga_.subjectLine;
  ASSERT_EQ(ivanSession_.module().EncodeData(ivanSession_.handle(), buffer.data(), &length, recipients.c_str()), 0)
      << ivanSession_.LastError();
  const std::string enveloped(buffer.data(), static_cast<size_t>(length));

  for (Session* reader : {&ivanSession_, &olgaSession_}) {
    std::vector<char> copy(enveloped.begin(), enveloped.end());
    int32_t copyLength = static_cast<int32_t>(copy.size());
    char uid[1024] = "";
    ASSERT_EQ(reader->module().DecodeData(reader->handle(), copy.data(), &copyLength, uid), 0) << reader->LastError();
    EXPECT_EQ(std::string(copy.data(), static_cast<size_t>(copyLength)), plain);
  }
}

TEST_F(ReferenceGostTest, StreebogSignatureVerifiesAndRefusesTampering) {
  const std::string data = "platezhnoe poruchenie";
  std::vector<char> signature(static_cast<size_t>(ivanSession_.module().GetMaxSignatureLength()));
  int32_t signatureLength = static_cast<int32_t>(signature.size());
  ASSERT_EQ(ivanSession_.module().SignData(ivanSession_.handle(), data.data(), static_cast<int32_t>(data.size()),
                                           signature.data(), &signatureLength, ""),
            0)
      << ivanSession_.LastError();
  int32_t length = static_cast<int32_t>(data.size());
  char uid[1024] = "";
  ASSERT_EQ(olgaSession_.module().VerifyData(olgaSession_.handle(), data.data(), &length, signature.data(),
                                             signatureLength, uid),
            0)
      << olgaSession_.LastError();
  EXPECT_STREQ(uid, ivan_.subjectLine.c_str());

  std::string tampered = data;
  tampered[0] ^= 1;
  EXPECT_EQ(olgaSession_.module().VerifyData(olgaSession_.handle(), tampered.data(), &length, signature.data(),
                                             signatureLength, uid),
            ref::kErrBadSignature);

  // The dump names the GOST key algorithm.
  std::string certificate = ReadFile(ivan_.certificate);
  std::vector<char> dump(static_cast<size_t>(ivanSession_.module().GetMaxCertInfoLength()));
  ASSERT_EQ(ivanSession_.module().GetCertInfo(ivanSession_.handle(), certificate.data(),
                                              static_cast<int32_t>(certificate.size()), dump.data()),
            0);
  EXPECT_NE(std::string(dump.data()).find("Public Key Algorithm: GOST R 34.10-2012"), std::string::npos) << dump.data();
}

TEST_F(ReferenceGostTest, GostKeyWithNonGostAlgorithmIsAMismatch) {
  ivanSession_.Set(kSignature, "SHA256");
  std::vector<char> signature(static_cast<size_t>(ivanSession_.module().GetMaxSignatureLength()));
  int32_t signatureLength = static_cast<int32_t>(signature.size());
  EXPECT_EQ(ivanSession_.module().SignData(ivanSession_.handle(), "x", 1, signature.data(), &signatureLength, ""),
            ref::kErrAlgorithmMismatch);
  EXPECT_NE(ivanSession_.LastError().find("GOST"), std::string::npos);
}

}  // namespace
