// Without the gost engine the GOST algorithm names fail with the module's own
// code and text; nothing falls back to another algorithm. The engine search
// directory is pointed at an empty directory before the module first looks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

using cryptlib::test::TestDir;
using namespace reftest;

class ReferenceNoGostTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static TestDir noEngines;
    ::setenv("OPENSSL_ENGINES", noEngines.path().c_str(), 1);
  }
  TestDir dir_;
  Bank bank_{dir_.path()};
};

TEST_F(ReferenceNoGostTest, GostNamesFailWithTheirOwnCode) {
  Abonent ivan;
  EXPECT_EQ(bank_.Enroll(ivan, "Ivan", 1, "R3410-R3411"), ref::kErrGostUnavailable);

  Abonent anna;
  ASSERT_EQ(bank_.Enroll(anna, "Anna", 2, "SHA256"), 0);
  Session session;
  bank_.Configure(session, anna, "RUS-GAMMAR", "SHA256");
  char data[16384] = "plain";
  int32_t length = 5;
  EXPECT_EQ(session.module().EncodeData(session.handle(), data, &length, ""), ref::kErrGostUnavailable);
  EXPECT_EQ(length, 5);
  EXPECT_STREQ(data, "plain");
  EXPECT_NE(session.LastError().find("GOST algorithms are not available"), std::string::npos) << session.LastError();

  session.Set(kCipher, "AES-256-CBC").Set(kSignature, "R3410-R3411");
  std::vector<char> signature(static_cast<size_t>(session.module().GetMaxSignatureLength()));
  int32_t signatureLength = static_cast<int32_t>(signature.size());
  EXPECT_EQ(session.module().SignData(session.handle(), "x", 1, signature.data(), &signatureLength, ""),
            ref::kErrGostUnavailable);
  // The other algorithms are unaffected.
  session.Set(kSignature, "SHA256");
  EXPECT_EQ(session.module().SignData(session.handle(), "x", 1, signature.data(), &signatureLength, ""), 0);
}

}  // namespace
