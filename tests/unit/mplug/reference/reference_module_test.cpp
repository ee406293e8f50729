// The reference vendor module (OpenSSL) loaded by its full path: its exports
// and limits, the key container it writes, enveloped and signed data between
// abonents of a test bank, revocation, reports and error paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;
using namespace reftest;

std::vector<char> Bytes(const std::string& text) {
  return std::vector<char>(text.begin(), text.end());
}

unsigned FileMode(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 0777u) : 0u;
}

std::vector<std::string> KeyFiles(const std::string& keyDirectory) {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(keyDirectory + "/KEYS")) files.push_back(entry.path().string());
  return files;
}

// Encrypts plain for the recipients in a buffer sized as the engine sizes it
// (plain + GetMaxEncodeAddition) followed by a guard zone that must stay
// untouched. Answers the code; data/length get the result.
int32_t Encode(const Session& session, const std::string& plain, const std::string& recipients,
               std::vector<char>& data) {
  const size_t room = plain.size() + static_cast<size_t>(session.module().GetMaxEncodeAddition());
  data.assign(room + 64, '\x5A');
  std::memcpy(data.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  int32_t code = session.module().EncodeData(session.handle(), data.data(), &length, recipients.c_str());
  for (size_t i = room; i < data.size(); ++i) EXPECT_EQ(data[i], '\x5A') << "written past the room at " << i;
  data.resize(code == 0 ? static_cast<size_t>(length) : plain.size());
  return code;
}

int32_t Decode(const Session& session, std::vector<char>& data, std::string* uid = nullptr) {
  int32_t length = static_cast<int32_t>(data.size());
  std::vector<char> name(static_cast<size_t>(session.module().GetMaxUIDLength()), '\0');
  int32_t code = session.module().DecodeData(session.handle(), data.data(), &length, name.data());
  if (code == 0) data.resize(static_cast<size_t>(length));
  if (uid != nullptr) *uid = name.data();
  return code;
}

std::string Text(const std::vector<char>& data) {
  return std::string(data.begin(), data.end());
}

// ---------------------------------------------------------------------------

TEST(ReferenceModuleExports, AllFunctionsVersionAndTexts) {
  const Module& module = Module::Get();
  EXPECT_EQ(module.missing, 0);

  uint16_t version[4] = {};
  ASSERT_TRUE(cryptlib::platform::Os().ModuleFileVersion(ModulePath(), version));
  EXPECT_EQ(version[0], 2);
  EXPECT_EQ(version[1], 0);

  EXPECT_EQ(module.GetCryptoParamNumber(), 27);
  Session session;
  std::set<std::string> names;
  for (int32_t index = 0; index < module.GetCryptoParamNumber(); ++index) {
    char name[64] = "";
    ASSERT_EQ(module.GetCryptoParamName(session.handle(), index, name), 0);
    EXPECT_LT(std::strlen(name), static_cast<size_t>(module.GetMaxCryptoParamNameLength()));
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 27u);
  char name[64] = "";
  EXPECT_EQ(module.GetCryptoParamName(session.handle(), 27, name), ref::kErrParamIndex);
  EXPECT_EQ(module.SetCryptoParamValue(session.handle(), -1, "x"), ref::kErrParamIndex);

  // Every code the module answers has its own text; codes it does not own say so.
  std::set<std::string> texts;
  std::vector<char> text(static_cast<size_t>(module.GetMaxErrorStringLength()), '\0');
  for (int32_t code = ref::kErrUnknownContext; code <= ref::kErrCrypto; ++code) {
    module.GetCryptoErrorString(code, text.data());
    EXPECT_EQ(std::string(text.data()).find("Unknown error"), std::string::npos) << code;
    texts.insert(text.data());
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(ref::kErrCrypto - ref::kErrUnknownContext + 1));
  module.GetCryptoErrorString(-3, text.data());
  EXPECT_STREQ(text.data(), "Unknown error -3");
}

TEST(ReferenceModuleExports, ClosedContextIsRefused) {
  const Module& module = Module::Get();
  MPlugContext context = module.InitCrypto();
  ASSERT_NE(context, 0);
  ASSERT_EQ(module.DoneCrypto(context), 0);
  EXPECT_EQ(module.DoneCrypto(context), ref::kErrUnknownContext);
  char data[16] = "plain";
  int32_t length = 5;
  EXPECT_EQ(module.EncodeData(context, data, &length, ""), ref::kErrUnknownContext);
  EXPECT_EQ(module.CertificateAndRequestMatch(context, "a", "b"), 0);
  std::vector<char> text(static_cast<size_t>(module.GetMaxErrorStringLength()), '\0');
  module.GetLastErrorMessage(context, text.data());
  EXPECT_STREQ(text.data(), "Unknown or closed context");
}

// ---------------------------------------------------------------------------

class ReferenceKeyContainerTest : public testing::Test {
 protected:
  TestDir dir_;
  std::string keys_ = dir_ / "keys";
  std::string request_ = dir_ / "req/alice.pem";
};

TEST_F(ReferenceKeyContainerTest, GenerationWritesPrivateContainerAndRequest) {
  Session session;
  session.Set(kKeyDir, keys_).Set(kRequestFile, request_).Set(kSignature, "SHA256");
  session.Set(kCountry, "RU").Set(kState, "Moscow").Set(kLocality, "Moscow").Set(kOrganisation, "Bank");
  session.Set(kUnit, "Clients").Set(kCommonName, "Alice").Set(kEmail, "alice@bank.test").Set(kTitle, "Owner");
  char text[260] = "";
  ASSERT_EQ(session.module().GenerateNewSEK(session.handle(), text), 0) << session.LastError();
  EXPECT_TRUE(fs::equivalent(text, keys_));

  for (const char* file : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"}) {
    EXPECT_EQ(FileMode(keys_ + "/" + file), 0600u) << file;
  }
  std::vector<std::string> keyFiles = KeyFiles(keys_);
  ASSERT_EQ(keyFiles.size(), 1u);
  EXPECT_EQ(FileMode(keyFiles[0]), 0600u);
  EXPECT_NE(ReadFile(keyFiles[0]).find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);

  std::string request = ReadFile(request_);
  ASSERT_NE(request.find("BEGIN CERTIFICATE REQUEST"), std::string::npos);
  MPlugReqInfo info{};
  ASSERT_EQ(session.module().GetReqInfo(session.handle(), request.data(), static_cast<int32_t>(request.size()), &info),
            0);
  EXPECT_STREQ(info.subject.country, "RU");
  EXPECT_STREQ(info.subject.state, "Moscow");
  EXPECT_STREQ(info.subject.locality, "Moscow");
  EXPECT_STREQ(info.subject.organisation, "Bank");
  EXPECT_STREQ(info.subject.organisationalUnit, "Clients");
  EXPECT_STREQ(info.subject.commonName, "Alice");
  EXPECT_STREQ(info.subject.email, "alice@bank.test");
  EXPECT_STREQ(info.subject.title, "Owner");
  EXPECT_EQ(std::string(info.publicKey).rfind("Public Key Algorithm: rsaEncryption\n", 0), 0u) << info.publicKey;
  session.module().FreeReqInfo(session.handle(), &info);
  EXPECT_EQ(info.subject.commonName, nullptr);
  EXPECT_EQ(info.publicKey, nullptr);
}

TEST_F(ReferenceKeyContainerTest, RenewalAddsKeyAndChangesFingerprint) {
  Session session;
  session.Set(kRequestFile, request_).Set(kCommonName, "Alice").Set(kSignature, "ECDSA-SHA256");
  ASSERT_EQ(session.module().MakeRequestForPSE(session.handle(), keys_.c_str(), request_.c_str()), 0)
      << session.LastError();
  char first[1024] = "";
  ASSERT_EQ(session.module().PSePrivateKeyBackup(session.handle(), keys_.c_str(), first), 0);
  EXPECT_NE(first[0], '\0');
  std::string masterKey = ReadFile(keys_ + "/mk.db3");

  ASSERT_EQ(session.module().MakeRequestForPSE(session.handle(), keys_.c_str(), request_.c_str()), 0);
  char second[1024] = "";
  session.module().PSePrivateKeyBackup(session.handle(), keys_.c_str(), second);
  EXPECT_STRNE(first, second);
  EXPECT_EQ(KeyFiles(keys_).size(), 2u);
  EXPECT_EQ(ReadFile(keys_ + "/mk.db3"), masterKey) << "an existing container keeps its master key";

  char none[1024] = "x";
  session.module().PSePrivateKeyBackup(session.handle(), (dir_ / "empty").c_str(), none);
  EXPECT_STREQ(none, "");
}

TEST_F(ReferenceKeyContainerTest, GenerationRefusesMissingSubjectOrRequestFile) {
  Session session;
  session.Set(kKeyDir, keys_).Set(kRequestFile, request_);
  char text[260] = "";
  EXPECT_EQ(session.module().GenerateNewSEK(session.handle(), text), ref::kErrEmptySubject);
  EXPECT_NE(session.LastError().find("Subject of the request is empty"), std::string::npos);
  EXPECT_FALSE(fs::exists(keys_ + "/mk.db3")) << "nothing is written before the checks pass";

  session.Set(kCommonName, "Alice").Set(kRequestFile, "");
  EXPECT_EQ(session.module().GenerateNewSSK(session.handle(), text), ref::kErrRequestFile);
  session.Set(kRequestFile, request_).Set(kSignature, "MD5-RSA");
  EXPECT_EQ(session.module().GenerateNewSEK(session.handle(), text), ref::kErrUnknownAlgorithm);
  EXPECT_NE(session.LastError().find("MD5-RSA"), std::string::npos);
}

// ---------------------------------------------------------------------------

struct Algorithms {
  const char* cipher;
  const char* signature;
};

void PrintTo(const Algorithms& algorithms, std::ostream* out) {
  *out << algorithms.cipher << " / " << algorithms.signature;
}

// Alice, Bob and Carol of one bank, each with a context of their own.
class ReferenceBankTest : public testing::TestWithParam<Algorithms> {
 protected:
  void SetUp() override {
    for (auto [abonent, name, serial] : {std::tuple{&alice_, "Alice", 0x1A2BL}, std::tuple{&bob_, "Bob", 0x1A2CL},
                                         std::tuple{&carol_, "Carol", 0x1A2DL}}) {
      ASSERT_EQ(bank_.Enroll(*abonent, name, serial, GetParam().signature), 0);
    }
    bank_.Configure(aliceSession_, alice_, GetParam().cipher, GetParam().signature);
    bank_.Configure(bobSession_, bob_, GetParam().cipher, GetParam().signature);
    bank_.Configure(carolSession_, carol_, GetParam().cipher, GetParam().signature);
  }

  // Detached signature of data by the session's user; empty on failure.
  std::vector<char> SignDetached(const Session& session, const std::string& data, int32_t* code = nullptr) {
    std::vector<char> signature(static_cast<size_t>(session.module().GetMaxSignatureLength()));
    int32_t length = static_cast<int32_t>(signature.size());
    int32_t result = session.module().SignData(session.handle(), data.data(), static_cast<int32_t>(data.size()),
                                               signature.data(), &length, "");
    if (code != nullptr) *code = result;
    signature.resize(result == 0 ? static_cast<size_t>(length) : 0);
    return signature;
  }

  int32_t VerifyDetached(const Session& session, const std::string& data, const std::vector<char>& signature,
                         std::string* uid = nullptr, bool ignoreTime = false) {
    int32_t length = static_cast<int32_t>(data.size());
    std::vector<char> name(static_cast<size_t>(session.module().GetMaxUIDLength()), '\0');
    auto verify = ignoreTime ? session.module().VerifyDataIgnoreTime : session.module().VerifyData;
    int32_t code = verify(session.handle(), data.data(), &length, signature.data(),
                          static_cast<int32_t>(signature.size()), name.data());
    if (uid != nullptr) *uid = name.data();
    return code;
  }

  TestDir dir_;
  Bank bank_{dir_.path()};
  Abonent alice_, bob_, carol_;
  Session aliceSession_, bobSession_, carolSession_;
};

INSTANTIATE_TEST_SUITE_P(Algorithms, ReferenceBankTest,
                         testing::Values(Algorithms{"AES-256-CBC", "SHA256"}, Algorithms{"DES-EDE3-CBC", "SHA1"},
                                         Algorithms{"AES-256-CBC", "ECDSA-SHA256"},
                                         Algorithms{"AES-256-GCM", "ECDSA-SHA256"}),
                         [](const testing::TestParamInfo<Algorithms>& info) {
                           if (info.param.cipher == std::string("AES-256-GCM")) return std::string("GcmEcdsa");
                           return std::string(info.param.signature == std::string("SHA1")     ? "Des3Sha1"
                                              : info.param.signature == std::string("SHA256") ? "AesRsa"
                                                                                              : "AesEcdsa");
                         });

TEST_P(ReferenceBankTest, EnvelopeForTwoRecipientsOpensForEachAndNobodyElse) {
  const std::string plain(1000, 'p');
  std::vector<char> once;
  ASSERT_EQ(Encode(aliceSession_, plain, bob_.subjectLine, once), 0) << aliceSession_.LastError();
  std::vector<char> twice;
  ASSERT_EQ(Encode(aliceSession_, plain, alice_.subjectLine + ";" + bob_.subjectLine, twice), 0);
  EXPECT_EQ(Text(twice).find(plain.substr(0, 16)), std::string::npos) << "the plain text shows through";
  EXPECT_LE(twice.size() - plain.size(), static_cast<size_t>(aliceSession_.module().GetMaxEncodeAddition()));
  EXPECT_LE(twice.size() - once.size(), static_cast<size_t>(ref::kRecipientBound)) << "growth per recipient";

  for (Session* reader : {&aliceSession_, &bobSession_}) {
    std::vector<char> copy = twice;
    std::string uid;
    ASSERT_EQ(Decode(*reader, copy, &uid), 0) << reader->LastError();
    EXPECT_EQ(Text(copy), plain);
    EXPECT_EQ(uid, reader == &aliceSession_ ? alice_.subjectLine : bob_.subjectLine);
  }
  std::vector<char> copy = twice;
  EXPECT_EQ(Decode(carolSession_, copy), ref::kErrNotForUser);
  EXPECT_NE(carolSession_.LastError().find("Data is not encrypted for the current user"), std::string::npos);
}

TEST_P(ReferenceBankTest, EmptyRecipientListEncryptsForTheUser) {
  std::vector<char> data;
  ASSERT_EQ(Encode(aliceSession_, "for me", "", data), 0);
  std::vector<char> copy = data;
  EXPECT_EQ(Decode(bobSession_, copy), ref::kErrNotForUser);
  ASSERT_EQ(Decode(aliceSession_, data), 0);
  EXPECT_EQ(Text(data), "for me");
}

TEST_P(ReferenceBankTest, DamagedOrForeignDataIsRefused) {
  std::vector<char> data;
  ASSERT_EQ(Encode(aliceSession_, std::string(200, 'd'), bob_.subjectLine, data), 0);
  data.resize(data.size() / 2);
  EXPECT_EQ(Decode(bobSession_, data), ref::kErrNotEncrypted);
  std::vector<char> plain = Bytes("not enveloped at all");
  EXPECT_EQ(Decode(bobSession_, plain), ref::kErrNotEncrypted);

  std::vector<char> unchanged;
  EXPECT_EQ(Encode(aliceSession_, "secret", "/C=RU/O=Bank/CN=Nobody", unchanged), ref::kErrCertificateNotFound);
  EXPECT_EQ(Text(unchanged), "secret");
  EXPECT_NE(aliceSession_.LastError().find("/C=RU/O=Bank/CN=Nobody"), std::string::npos);
}

TEST_P(ReferenceBankTest, DetachedSignatureNamesSignerAndRefusesTampering) {
  const std::string data = "payment order 42";
  int32_t code = -1;
  std::vector<char> signature = SignDetached(aliceSession_, data, &code);
  ASSERT_EQ(code, 0) << aliceSession_.LastError();
  EXPECT_LE(signature.size(), static_cast<size_t>(aliceSession_.module().GetMaxSignatureLength()));

  std::string uid;
  ASSERT_EQ(VerifyDetached(bobSession_, data, signature, &uid), 0) << bobSession_.LastError();
  EXPECT_EQ(uid, alice_.subjectLine);

  std::string tampered = data;
  tampered[8] ^= 1;
  EXPECT_EQ(VerifyDetached(bobSession_, tampered, signature), ref::kErrBadSignature);
  std::vector<char> garbage = Bytes("no signature here");
  EXPECT_EQ(VerifyDetached(bobSession_, data, garbage), ref::kErrNoSignature);

  bobSession_.Set(kUidField, "SN");
  ASSERT_EQ(VerifyDetached(bobSession_, data, signature, &uid), 0);
  EXPECT_EQ(uid, "1A2B");
}

TEST_P(ReferenceBankTest, AttachedSignatureComesBackUnchangedAfterVerification) {
  const std::string data(3000, 'a');
  const int32_t capacity = static_cast<int32_t>(data.size()) + aliceSession_.module().GetMaxSignatureLength();
  std::vector<char> buffer(static_cast<size_t>(capacity));
  std::memcpy(buffer.data(), data.data(), data.size());
  int32_t signedLength = capacity;
  ASSERT_EQ(aliceSession_.module().SignData(aliceSession_.handle(), buffer.data(), static_cast<int32_t>(data.size()),
                                            nullptr, &signedLength, ""),
            0)
      << aliceSession_.LastError();
  ASSERT_GT(signedLength, static_cast<int32_t>(data.size()));

  std::vector<char> tampered(buffer.begin(), buffer.begin() + signedLength);
  tampered[static_cast<size_t>(signedLength) / 2] ^= 1;  // inside the content
  int32_t tamperedLength = signedLength;
  char uid[1024] = "";
  EXPECT_NE(bobSession_.module().VerifyData(bobSession_.handle(), tampered.data(), &tamperedLength, nullptr,
                                            signedLength, uid),
            0);

  int32_t length = signedLength;
  ASSERT_EQ(bobSession_.module().VerifyData(bobSession_.handle(), buffer.data(), &length, nullptr, signedLength, uid),
            0)
      << bobSession_.LastError();
  EXPECT_EQ(length, static_cast<int32_t>(data.size()));
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)), data);
  EXPECT_STREQ(uid, alice_.subjectLine.c_str());
}

TEST_P(ReferenceBankTest, SignerWithoutOwnKeyIsRefused) {
  std::vector<char> signature(static_cast<size_t>(aliceSession_.module().GetMaxSignatureLength()));
  int32_t length = static_cast<int32_t>(signature.size());
  EXPECT_EQ(aliceSession_.module().SignData(aliceSession_.handle(), "x", 1, signature.data(), &length,
                                            bob_.subjectLine.c_str()),
            ref::kErrPrivateKeyNotFound);
  EXPECT_NE(aliceSession_.LastError().find(bob_.subjectLine), std::string::npos);
}

// ---------------------------------------------------------------------------
// Trust, revocation and validity (RSA keys).

class ReferenceTrustTest : public ReferenceBankTest {};
INSTANTIATE_TEST_SUITE_P(Rsa, ReferenceTrustTest, testing::Values(Algorithms{"AES-256-CBC", "SHA256"}));

TEST_P(ReferenceTrustTest, RevokedSignerIsRefusedOnceTheListIsThere) {
  const std::string data = "order";
  std::vector<char> byCarol = SignDetached(carolSession_, data);
  std::vector<char> byAlice = SignDetached(aliceSession_, data);
  ASSERT_FALSE(byCarol.empty());
  EXPECT_EQ(VerifyDetached(bobSession_, data, byCarol), 0);

  bank_.ca().WriteCrl(bank_.Path("crl/bank.crl"), {carol_.serial});
  Session fresh;  // a context parses the trust store once: a new one sees the list
  bank_.Configure(fresh, bob_);
  EXPECT_EQ(VerifyDetached(fresh, data, byCarol), ref::kErrRevokedSigner);
  EXPECT_NE(fresh.LastError().find("revoked"), std::string::npos);
  EXPECT_EQ(VerifyDetached(fresh, data, byCarol, nullptr, true), ref::kErrRevokedSigner);
  EXPECT_EQ(VerifyDetached(fresh, data, byAlice), 0);

  // Without authorities the list still names the serial of the signer's issuer.
  fresh.Set(kCaDir, "");
  EXPECT_EQ(VerifyDetached(fresh, data, byCarol), ref::kErrRevokedSigner);

  char issuer[1024] = "";
  ASSERT_EQ(fresh.module().GetCRLIssuerName(fresh.handle(), bank_.Path("crl/bank.crl").c_str(), issuer), 0);
  EXPECT_STREQ(issuer, "/C=RU/O=Bank/CN=Bank CA");
  std::strcpy(issuer, "stale");
  EXPECT_EQ(fresh.module().GetCRLIssuerName(fresh.handle(), alice_.certificate.c_str(), issuer), ref::kErrNotCrl);
  EXPECT_STREQ(issuer, "");
}

TEST_P(ReferenceTrustTest, SignerFromAnotherAuthorityIsNotTrusted) {
  TestCa stranger("Other CA");
  Abonent mallory;
  ASSERT_EQ(bank_.Enroll(mallory, "Mallory", 77), 0);
  // Issued by the stranger and kept out of the shared certificate directory:
  // Bob knows it only from the signed data.
  std::filesystem::remove(mallory.certificate);
  mallory.certificate = bank_.Path("mallory.pem");
  ASSERT_TRUE(stranger.Issue(mallory.request, mallory.certificate, 77));
  Session session;
  bank_.Configure(session, mallory);
  std::vector<char> signature = SignDetached(session, "data");
  ASSERT_FALSE(signature.empty()) << session.LastError();
  EXPECT_EQ(VerifyDetached(bobSession_, "data", signature), ref::kErrUntrustedSigner);
  bobSession_.Set(kCaDir, "");  // no authorities: still no one vouches for it
  EXPECT_EQ(VerifyDetached(bobSession_, "data", signature), ref::kErrUntrustedSigner);
  // Filed in Bob's certificate directory, the very certificate is trusted,
  // with or without the authorities.
  std::filesystem::copy_file(mallory.certificate, bank_.Path("certs/Mallory.pem"));
  Session fresh;
  bank_.Configure(fresh, bob_);
  EXPECT_EQ(VerifyDetached(fresh, "data", signature), 0) << fresh.LastError();
  fresh.Set(kCaDir, "");
  EXPECT_EQ(VerifyDetached(fresh, "data", signature), 0) << fresh.LastError();
}

TEST_P(ReferenceTrustTest, ExpiredSignerPassesOnlyWhenTimeIsIgnored) {
  Abonent dave;
  ASSERT_EQ(bank_.Enroll(dave, "Dave", 99, "SHA256", -30, -1), 0);
  Session session;
  bank_.Configure(session, dave);
  std::vector<char> signature = SignDetached(session, "late");
  ASSERT_FALSE(signature.empty()) << session.LastError();
  std::string uid;
  EXPECT_EQ(VerifyDetached(bobSession_, "late", signature, &uid), ref::kErrSignerTime);
  EXPECT_EQ(uid, "") << "nothing is reported for a refused signature";
  EXPECT_EQ(VerifyDetached(bobSession_, "late", signature, &uid, true), 0);
  EXPECT_EQ(uid, dave.subjectLine);
  bobSession_.Set(kCaDir, "");
  EXPECT_EQ(VerifyDetached(bobSession_, "late", signature), ref::kErrSignerTime);
}

// ---------------------------------------------------------------------------
// Identities, reports and the checks between files.

TEST_P(ReferenceTrustTest, IdentitiesAndCertificateReports) {
  const Module& module = aliceSession_.module();
  EXPECT_EQ(aliceSession_.CurrentUid(), alice_.subjectLine);
  aliceSession_.Set(kUidField, "SN");
  EXPECT_EQ(aliceSession_.CurrentUid(), "1A2B");
  std::vector<char> pem(static_cast<size_t>(module.GetMaxCertificateLength() + module.GetMaxCertInfoLength()));
  int32_t length = static_cast<int32_t>(pem.size());
  ASSERT_EQ(module.GetCertificateByUID(aliceSession_.handle(), "1A2C", pem.data(), &length), 0);
  aliceSession_.Set(kUidField, "CN");
  EXPECT_EQ(std::string(pem.data(), static_cast<size_t>(length)), ReadFile(bob_.certificate));
  length = 10;
  EXPECT_EQ(module.GetCertificateByUID(aliceSession_.handle(), bob_.subjectLine.c_str(), pem.data(), &length),
            ref::kErrBufferTooSmall);

  std::string certificate = ReadFile(bob_.certificate);
  std::vector<char> dump(static_cast<size_t>(module.GetMaxCertInfoLength()));
  ASSERT_EQ(module.GetCertInfo(aliceSession_.handle(), certificate.data(), static_cast<int32_t>(certificate.size()),
                               dump.data()),
            0);
  std::string text = dump.data();
  for (const char* label : {"Serial Number:", "Issuer: C=RU, O=Bank, CN=Bank CA\n", "        Validity",
                            "Not Before: ", "Not After : ", "Subject: C=RU, O=Bank, CN=Bob\n",
                            "        Subject Public Key Info:", "Public Key Algorithm: rsaEncryption",
                            "Modulus:", "                Exponent:"}) {
    EXPECT_NE(text.find(label), std::string::npos) << label << " in\n" << text;
  }

  MPlugCertInfo info{};
  ASSERT_EQ(
      module.GetCertInfoEx(aliceSession_.handle(), certificate.data(), static_cast<int32_t>(certificate.size()), &info),
      0);
  EXPECT_STREQ(info.serialNumber, "1a:2c");
  EXPECT_TRUE(std::regex_match(info.validFrom, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)"))) << info.validFrom;
  EXPECT_STREQ(info.issuer.commonName, "Bank CA");
  EXPECT_STREQ(info.subject.commonName, "Bob");
  EXPECT_STREQ(info.subject.state, "");
  EXPECT_NE(std::string(info.publicKey).find("Modulus:"), std::string::npos);
  module.FreeCertInfo(aliceSession_.handle(), &info);
  EXPECT_EQ(info.serialNumber, nullptr);
  EXPECT_EQ(info.issuer.commonName, nullptr);
  MPlugCertInfo zeroed{};
  EXPECT_EQ(module.FreeCertInfo(aliceSession_.handle(), &zeroed), 0);
  EXPECT_EQ(module.GetCertInfoEx(aliceSession_.handle(), "junk", 4, &zeroed), ref::kErrNotCertificate);
}

TEST_P(ReferenceTrustTest, CertificatesMatchTheirRequestsAndKeys) {
  const Module& module = aliceSession_.module();
  MPlugContext context = aliceSession_.handle();
  EXPECT_EQ(module.CertificateAndRequestMatch(context, alice_.certificate.c_str(), alice_.request.c_str()), 1);
  EXPECT_EQ(module.CertificateAndRequestMatch(context, alice_.certificate.c_str(), bob_.request.c_str()), 0);
  char text[1024] = "stale";
  EXPECT_EQ(
      module.CertificateAndPSePrivateKeysMatch(context, alice_.certificate.c_str(), alice_.keyDirectory.c_str(), text),
      1);
  EXPECT_EQ(fs::path(text).parent_path(), fs::path(alice_.keyDirectory) / "KEYS");
  EXPECT_EQ(module.CertificateAndPSePrivateKeyMatch(context, alice_.certificate.c_str(), alice_.keyDirectory.c_str()),
            1);
  EXPECT_EQ(module.CertificateAndPrivateKeyMatch(context, alice_.certificate.c_str(), text), 1);
  EXPECT_EQ(
      module.CertificateAndPSePrivateKeysMatch(context, bob_.certificate.c_str(), alice_.keyDirectory.c_str(), text),
      0);
  EXPECT_STREQ(text, "");
}

TEST_P(ReferenceTrustTest, LoadedCertificateServesAsRecipient) {
  Abonent erin;
  ASSERT_EQ(bank_.Enroll(erin, "Erin", 0x55), 0);
  std::string certificate = ReadFile(erin.certificate);
  fs::remove(erin.certificate);
  Session session;
  bank_.Configure(session, alice_);
  std::vector<char> data;
  EXPECT_EQ(Encode(session, "hi", erin.subjectLine, data), ref::kErrCertificateNotFound);
  ASSERT_EQ(
      session.module().LoadCertificate(session.handle(), certificate.data(), static_cast<int32_t>(certificate.size())),
      0);
  EXPECT_EQ(Encode(session, "hi", erin.subjectLine, data), 0);
}

// ---------------------------------------------------------------------------
// Keys that cannot be used, with the cause in the last error message.

TEST_P(ReferenceTrustTest, KeyContainerWithoutItsMasterKeyIsUseless) {
  std::vector<char> data;
  ASSERT_EQ(Encode(bobSession_, "to alice", alice_.subjectLine, data), 0);
  fs::rename(alice_.keyDirectory + "/mk.db3", dir_ / "mk.db3.away");
  Session session;
  bank_.Configure(session, alice_);
  std::vector<char> copy = data;
  EXPECT_EQ(Decode(session, copy), ref::kErrContainerDamaged);
  EXPECT_NE(session.LastError().find("mk.db3"), std::string::npos) << session.LastError();

  // Another container's master key does not open this one.
  fs::copy_file(bob_.keyDirectory + "/mk.db3", alice_.keyDirectory + "/mk.db3");
  Session foreign;
  bank_.Configure(foreign, alice_);
  EXPECT_EQ(Decode(foreign, copy), ref::kErrContainerDamaged);
  EXPECT_NE(foreign.LastError().find("does not belong"), std::string::npos) << foreign.LastError();
}

TEST_P(ReferenceTrustTest, DamagedKeyFileReportsOpenSslCause) {
  std::vector<char> data;
  ASSERT_EQ(Encode(bobSession_, "to alice", alice_.subjectLine, data), 0);
  std::string keyFile = KeyFiles(alice_.keyDirectory)[0];
  // Torn in the middle, as by a write that did not complete. (A changed
  // character is not enough: the garbled block may land in a value the key
  // does not need, and the key still works.)
  std::string pem = ReadFile(keyFile);
  WriteFile(keyFile, pem.substr(0, pem.size() / 2));
  Session session;
  bank_.Configure(session, alice_);
  EXPECT_EQ(Decode(session, data), ref::kErrContainerDamaged);
  EXPECT_NE(session.LastError().find("error:"), std::string::npos) << session.LastError();

  session.Set(kKeyDir, dir_ / "missing");
  EXPECT_EQ(Decode(session, data), ref::kErrKeyDirectory);
  session.Set(kOwnCertificate, dir_ / "missing.pem");
  EXPECT_EQ(Decode(session, data), ref::kErrOwnCertificate);
}

// ---------------------------------------------------------------------------

TEST_P(ReferenceTrustTest, OneContextServesSeveralThreads) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::string plain = "thread " + std::to_string(t) + " round " + std::to_string(i);
        std::vector<char> data;
        if (Encode(aliceSession_, plain, bob_.subjectLine + ";" + alice_.subjectLine, data) != 0) ++failures;
        if (Decode(aliceSession_, data) != 0 || Text(data) != plain) ++failures;
        std::vector<char> signature = SignDetached(aliceSession_, plain);
        if (VerifyDetached(aliceSession_, plain, signature) != 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
