// Whom the reference module trusts, how it encrypts with integrity, the
// subject lines it writes and the files it reads for the host: signatures
// made by `openssl cms -sign` with certificates nobody filed, certificates
// carrying a filed holder's name over another key, the CA and CRL
// directories of a store laid out under the key directory, a bit-flip sweep
// over an AES-GCM envelope, values holding "/" "\" "%", and host-named files
// that are not regular or too large.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;
using namespace reftest;

// Alice and Bob of one bank (ECDSA keys: the sweeps decrypt thousands of
// times); Bob is the verifier.
class ReferenceTrustRulesTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bank_.Enroll(alice_, "Alice", 0x51, "ECDSA-SHA256"), 0);
    ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x52, "ECDSA-SHA256"), 0);
    bank_.Configure(aliceSession_, alice_, "AES-256-GCM", "ECDSA-SHA256");
    bank_.Configure(bobSession_, bob_, "AES-256-GCM", "ECDSA-SHA256");
    WriteFile(dir_ / "data.bin", "payment order 42");
  }

  // A self-signed certificate and key made by the openssl command line for
  // the subject, and a detached or attached signature of data.bin with them.
  std::string Forge(const std::string& name, const std::string& subject, bool attached) {
    const std::string key = dir_ / (name + ".key"), certificate = dir_ / (name + ".crt");
    EXPECT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '" +
                         subject + "' -keyout " + key + " -out " + certificate),
              0);
    return SignWith(name, certificate, key, attached);
  }

  std::string SignWith(const std::string& name, const std::string& certificate, const std::string& key, bool attached) {
    const std::string out = dir_ / (name + (attached ? ".attached" : ".detached"));
    EXPECT_EQ(RunCommand("openssl cms -sign -binary -md sha256 -outform DER -signer " + certificate + " -inkey " + key +
                         " -in " + (dir_ / "data.bin") + (attached ? " -nodetach" : "") + " -out " + out),
              0);
    return ReadFile(out);
  }

  // Detached when the signature is not attached data; the code and the UID.
  int32_t Verify(const Session& session, const std::string& signature, bool attached, std::string* uid = nullptr,
                 bool ignoreTime = false) {
    std::string data = attached ? signature : ReadFile(dir_ / "data.bin");
    int32_t length = static_cast<int32_t>(data.size());
    char name[1024] = "";
    auto verify = ignoreTime ? session.module().VerifyDataIgnoreTime : session.module().VerifyData;
    int32_t code = verify(session.handle(), data.data(), &length, attached ? nullptr : signature.data(),
                          static_cast<int32_t>(signature.size()), name);
    if (uid != nullptr) *uid = name;
    return code;
  }

  std::string GenuineSignature(bool attached) {
    std::vector<char> buffer(20000);
    const std::string data = ReadFile(dir_ / "data.bin");
    std::memcpy(buffer.data(), data.data(), data.size());
    std::vector<char> signature(20000);
    int32_t length = static_cast<int32_t>(attached ? buffer.size() : signature.size());
    int32_t code =
        aliceSession_.module().SignData(aliceSession_.handle(), buffer.data(), static_cast<int32_t>(data.size()),
                                        attached ? nullptr : signature.data(), &length, "");
    EXPECT_EQ(code, 0) << aliceSession_.LastError();
    return std::string(attached ? buffer.data() : signature.data(), static_cast<size_t>(code == 0 ? length : 0));
  }

  TestDir dir_;
  Bank bank_{dir_ / "bank"};
  Abonent alice_, bob_;
  Session aliceSession_, bobSession_;
};

// How Bob's store tells the module about authorities.
struct TrustLayout {
  const char* name;
  std::function<void(ReferenceTrustRulesTest&, Session&)> apply;
  bool hasAuthority;
};

std::vector<TrustLayout> Layouts(const Bank& bank, const Abonent& bob) {
  return {
      {"CA directory in parameter 25", [](ReferenceTrustRulesTest&, Session&) {}, true},
      {"no CA directory", [](ReferenceTrustRulesTest&, Session& s) { s.Set(kCaDir, "").Set(kCrlDir, ""); }, false},
      {"parameter 25 names a missing directory",
       [&bank](ReferenceTrustRulesTest&, Session& s) { s.Set(kCaDir, bank.Path("none")); }, false},
      {"store laid out under the key directory, parameters 25 and 26 empty",
       [&bank, &bob](ReferenceTrustRulesTest&, Session& s) {
         fs::create_directories(bob.keyDirectory + "/CA");
         fs::copy_file(bank.Path("ca/ca.pem"), bob.keyDirectory + "/CA/ca1.pem", fs::copy_options::overwrite_existing);
         s.Set(kCaDir, "").Set(kCrlDir, "");
       },
       true},
  };
}

TEST_F(ReferenceTrustRulesTest, SignerKnownOnlyFromTheSignedDataIsNeverTrusted) {
  if (!HaveOpenSslTool()) GTEST_SKIP() << "no openssl command line";
  const std::string forgedDetached = Forge("forged", "/C=RU/O=Bank/CN=Alice", false);
  const std::string forgedAttached = SignWith("forged", dir_ / "forged.crt", dir_ / "forged.key", true);
  const std::string genuineDetached = GenuineSignature(false);
  const std::string genuineAttached = GenuineSignature(true);
  for (const TrustLayout& layout : Layouts(bank_, bob_)) {
    Session bob;
    bank_.Configure(bob, bob_);
    layout.apply(*this, bob);
    std::string uid = "untouched";
    EXPECT_EQ(Verify(bob, forgedDetached, false, &uid), ref::kErrUntrustedSigner) << layout.name;
    EXPECT_EQ(uid, "") << layout.name;
    EXPECT_NE(bob.LastError().find("not trusted by itself"), std::string::npos) << layout.name << bob.LastError();
    EXPECT_EQ(Verify(bob, forgedDetached, false, nullptr, true), ref::kErrUntrustedSigner) << layout.name;
    EXPECT_EQ(Verify(bob, forgedAttached, true), ref::kErrUntrustedSigner) << layout.name;
    // Alice's own certificate is filed in Bob's certificate directory (and
    // chains where there is an authority).
    EXPECT_EQ(Verify(bob, genuineDetached, false, &uid), 0) << layout.name << ": " << bob.LastError();
    EXPECT_EQ(uid, alice_.subjectLine);
    EXPECT_EQ(Verify(bob, genuineAttached, true), 0) << layout.name << ": " << bob.LastError();
  }
}

// Carol is certified by the bank but filed nowhere Bob looks: the first
// contact of a correspondent, trusted through the authority only.
TEST_F(ReferenceTrustRulesTest, FirstContactNeedsTheBanksAuthority) {
  Abonent carol;
  ASSERT_EQ(bank_.Enroll(carol, "Carol", 0x53, "ECDSA-SHA256"), 0);
  const std::string unfiled = bank_.Path("carol.pem");
  fs::rename(carol.certificate, unfiled);
  carol.certificate = unfiled;
  Session carolSession;
  bank_.Configure(carolSession, carol);
  std::vector<char> signature(20000);
  const std::string data = ReadFile(dir_ / "data.bin");
  int32_t length = static_cast<int32_t>(signature.size());
  ASSERT_EQ(carolSession.module().SignData(carolSession.handle(), data.data(), static_cast<int32_t>(data.size()),
                                           signature.data(), &length, ""),
            0)
      << carolSession.LastError();
  const std::string detached(signature.data(), static_cast<size_t>(length));
  for (const TrustLayout& layout : Layouts(bank_, bob_)) {
    Session bob;
    bank_.Configure(bob, bob_);
    layout.apply(*this, bob);
    std::string uid;
    EXPECT_EQ(Verify(bob, detached, false, &uid), layout.hasAuthority ? 0 : ref::kErrUntrustedSigner) << layout.name;
    EXPECT_EQ(uid, layout.hasAuthority ? carol.subjectLine : "") << layout.name;
  }
}

// A stranger's authority named like the bank certifies another key under
// Alice's name: neither a chain to the real authority nor Alice's filed
// certificate, with a serial of its own or with Alice's.
TEST_F(ReferenceTrustRulesTest, FiledHoldersNameOverAnotherKeyIsRefused) {
  if (!HaveOpenSslTool()) GTEST_SKIP() << "no openssl command line";
  TestCa impostor("Bank CA");
  const std::string key = dir_ / "other.key", request = dir_ / "other.csr";
  ASSERT_EQ(
      RunCommand("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /C=RU/O=Bank/CN=Alice "
                 "-keyout " +
                 key + " -out " + request),
      0);
  for (long serial : {0x77L, alice_.serial}) {
    const std::string certificate = dir_ / ("other" + std::to_string(serial) + ".crt");
    ASSERT_TRUE(impostor.Issue(request, certificate, serial));
    const std::string signature = SignWith("other" + std::to_string(serial), certificate, key, false);
    for (const TrustLayout& layout : Layouts(bank_, bob_)) {
      Session bob;
      bank_.Configure(bob, bob_);
      layout.apply(*this, bob);
      const int32_t code = Verify(bob, signature, false);
      // With Alice's serial the filed certificate is taken as the signer's and
      // the signature fails against her key; otherwise the carried one is
      // refused as untrusted.
      EXPECT_EQ(code, serial == alice_.serial ? ref::kErrBadSignature : ref::kErrUntrustedSigner)
          << layout.name << " serial " << serial;
    }
  }
}

// A trusted signer beside one nobody vouches for: every signer counts.
TEST_F(ReferenceTrustRulesTest, OneUntrustedSignerAmongSeveralRefusesTheWhole) {
  if (!HaveOpenSslTool()) GTEST_SKIP() << "no openssl command line";
  const std::string key = dir_ / "dan.key", request = dir_ / "dan.csr", certificate = dir_ / "dan.crt";
  ASSERT_EQ(RunCommand("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /C=RU/O=Bank/CN=Dan "
                       "-keyout " +
                       key + " -out " + request),
            0);
  ASSERT_TRUE(bank_.ca().Issue(request, certificate, 0x60));
  ASSERT_EQ(Verify(bobSession_, SignWith("dan", certificate, key, false), false), 0) << bobSession_.LastError();
  Forge("forged", "/C=RU/O=Bank/CN=Alice", false);
  const std::string both = dir_ / "both.der";
  ASSERT_EQ(RunCommand("openssl cms -sign -binary -md sha256 -outform DER -signer " + certificate + " -inkey " + key +
                       " -signer " + (dir_ / "forged.crt") + " -inkey " + (dir_ / "forged.key") + " -in " +
                       (dir_ / "data.bin") + " -out " + both),
            0);
  EXPECT_EQ(Verify(bobSession_, ReadFile(both), false), ref::kErrUntrustedSigner);
}

// Revocation lists are read from the key directory's CRL when parameter 26
// is empty, as authorities are from its CA.
TEST_F(ReferenceTrustRulesTest, ListsOfTheKeyDirectoryRevoke) {
  const std::string signature = GenuineSignature(false);
  Session bob;
  bank_.Configure(bob, bob_);
  Layouts(bank_, bob_).back().apply(*this, bob);
  ASSERT_EQ(Verify(bob, signature, false), 0) << bob.LastError();
  fs::create_directories(bob_.keyDirectory + "/CRL");
  bank_.ca().WriteCrl(bob_.keyDirectory + "/CRL/crl1.pem", {alice_.serial});
  Session fresh;
  bank_.Configure(fresh, bob_);
  fresh.Set(kCaDir, "").Set(kCrlDir, "");
  EXPECT_EQ(Verify(fresh, signature, false), ref::kErrRevokedSigner) << fresh.LastError();
}

// ---------------------------------------------------------------------------
// AES-256-GCM.

const std::string kAuthEnvelopedDataOid("\x06\x0B\x2A\x86\x48\x86\xF7\x0D\x01\x09\x10\x01\x17", 13);

std::string Encrypt(const Session& session, const std::string& plain, const std::string& recipients) {
  std::vector<char> buffer(plain.size() + static_cast<size_t>(session.module().GetMaxEncodeAddition()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  EXPECT_EQ(session.module().EncodeData(session.handle(), buffer.data(), &length, recipients.c_str()), 0)
      << session.LastError();
  return std::string(buffer.data(), static_cast<size_t>(length));
}

int32_t Decrypt(const Session& session, std::string& data) {
  int32_t length = static_cast<int32_t>(data.size());
  char uid[1024] = "";
  int32_t code = session.module().DecodeData(session.handle(), data.data(), &length, uid);
  if (code == 0) data.resize(static_cast<size_t>(length));
  return code;
}

// Every single-bit change of an AES-GCM envelope either fails or gives the
// original text back (bits GCM does not cover: version numbers, the
// recipient's identifier, tag bits of DER that parse the same).
TEST_F(ReferenceTrustRulesTest, NoBitFlipOfAnAuthenticatedEnvelopeDecryptsToOtherText) {
  const std::string plain = "pay 1000 to account 40817810";
  const std::string envelope = Encrypt(aliceSession_, plain, bob_.subjectLine);
  ASSERT_NE(envelope.find(kAuthEnvelopedDataOid), std::string::npos) << "AuthEnvelopedData";
  std::string copy = envelope;
  ASSERT_EQ(Decrypt(bobSession_, copy), 0) << bobSession_.LastError();
  ASSERT_EQ(copy, plain);
  int refused = 0, wrong = 0;
  for (size_t bit = 0; bit < envelope.size() * 8; ++bit) {
    std::string flipped = envelope;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    if (Decrypt(bobSession_, flipped) != 0) {
      ++refused;
    } else if (flipped != plain) {
      ++wrong;
      ADD_FAILURE() << "bit " << bit << " decrypts to other text";
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(refused, static_cast<int>(envelope.size() * 8 * 9 / 10));
}

TEST_F(ReferenceTrustRulesTest, AuthenticatedEnvelopeForTwoAndTheDefaultUnchanged) {
  const std::string plain(3000, 'g');
  const std::string envelope = Encrypt(aliceSession_, plain, alice_.subjectLine + ";" + bob_.subjectLine);
  for (Session* reader : {&aliceSession_, &bobSession_}) {
    std::string copy = envelope;
    ASSERT_EQ(Decrypt(*reader, copy), 0) << reader->LastError();
    EXPECT_EQ(copy, plain);
  }
  // The content tag cut off: refused.
  std::string cut = envelope.substr(0, envelope.size() - 4);
  EXPECT_EQ(Decrypt(bobSession_, cut), ref::kErrNotEncrypted);
  // An empty parameter 4 stays AES-256-CBC for existing peers; both kinds open.
  aliceSession_.Set(kCipher, "");
  const std::string classic = Encrypt(aliceSession_, plain, bob_.subjectLine);
  EXPECT_EQ(classic.find(kAuthEnvelopedDataOid), std::string::npos);
  std::string copy = classic;
  ASSERT_EQ(Decrypt(bobSession_, copy), 0);
  EXPECT_EQ(copy, plain);
}

// ---------------------------------------------------------------------------
// Subject lines.

TEST(ReferenceSubjectLines, SeparatorsInsideValuesAreEscaped) {
  TestDir dir;
  Bank bank(dir / "bank");
  struct Case {
    const char* organisation;
    const char* commonName;
    const char* line;
  };
  const Case cases[] = {
      {"Demo Bank/CN=Bank", "Mallory", "/C=RU/O=Demo Bank%2FCN=Bank/CN=Mallory"},
      {"Back\\slash", "100%", "/C=RU/O=Back%5Cslash/CN=100%25"},
      {"Literal %2F", "Eve", "/C=RU/O=Literal %252F/CN=Eve"},
      {"Plain", "Zoe", "/C=RU/O=Plain/CN=Zoe"},
  };
  long serial = 0x300;
  for (const Case& c : cases) {
    Abonent abonent;
    abonent.keyDirectory = dir / (std::string(c.commonName) + "-keys");
    abonent.request = dir / (std::string(c.commonName) + ".csr");
    abonent.certificate = bank.Path("certs/" + std::to_string(serial) + ".pem");
    Session generation;
    generation.Set(kKeyDir, abonent.keyDirectory)
        .Set(kRequestFile, abonent.request)
        .Set(kCountry, "RU")
        .Set(kOrganisation, c.organisation)
        .Set(kCommonName, c.commonName);
    char text[260] = "";
    ASSERT_EQ(generation.module().GenerateNewSEK(generation.handle(), text), 0) << generation.LastError();
    ASSERT_TRUE(bank.ca().Issue(abonent.request, abonent.certificate, serial++));
    Session session;
    bank.Configure(session, abonent);
    EXPECT_EQ(session.CurrentUid(), c.line);
    // The escaped line names the holder.
    std::vector<char> pem(30000);
    int32_t length = static_cast<int32_t>(pem.size());
    EXPECT_EQ(session.module().GetCertificateByUID(session.handle(), c.line, pem.data(), &length), 0) << c.line;
  }
}

// ---------------------------------------------------------------------------
// Files the host names.

// Runs call on another thread; fails the test instead of hanging when it
// does not return within seconds (unblock is then called to let it end).
int32_t Bounded(const std::function<int32_t()>& call, const std::function<void()>& unblock) {
  std::future<int32_t> result = std::async(std::launch::async, call);
  if (result.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return result.get();
  ADD_FAILURE() << "the call blocked";
  unblock();
  return result.get();
}

TEST(ReferenceHostFiles, OnlyRegularFilesWithinTheirBoundsAreRead) {
  TestDir dir;
  Bank bank(dir / "bank");
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string certificate = ReadFile(bank.Path("ca/ca.pem"));
  // A certificate padded past GetMaxCertificateLength + GetMaxCertInfoLength,
  // and a list padded past its bound of 8 MiB: the PEM reader would skip the
  // padding, so only the size refuses them.
  WriteFile(dir / "big.pem", certificate + std::string(ref::kMaxCertificateLength + ref::kMaxCertInfoLength, '#'));
  bank.ca().WriteCrl(dir / "list.crl", {7});
  WriteFile(dir / "big.crl", ReadFile(dir / "list.crl") + std::string(8u << 20, '#'));
  WriteFile(dir / "fits.pem", certificate);

  Session session;
  auto unblock = [&] {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  };
  struct Case {
    std::string path;
    int32_t includeCode;  // IncludePublicKey
    int32_t crlCode;      // GetCRLIssuerName
  };
  const Case cases[] = {
      {fifo, ref::kErrCertificateNotFound, ref::kErrNotCrl},
      {"/dev/zero", ref::kErrCertificateNotFound, ref::kErrNotCrl},
      {dir.path(), ref::kErrCertificateNotFound, ref::kErrNotCrl},
      {dir / "big.pem", ref::kErrCertificateNotFound, ref::kErrNotCrl},
      {dir / "big.crl", ref::kErrCertificateNotFound, ref::kErrNotCrl},
      {dir / "fits.pem", 0, ref::kErrNotCrl},
      {dir / "list.crl", ref::kErrNotCertificate, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Bounded([&] { return session.module().IncludePublicKey(session.handle(), c.path.c_str()); }, unblock),
              c.includeCode)
        << c.path << ": " << session.LastError();
    char issuer[1024] = "";
    EXPECT_EQ(
        Bounded([&] { return session.module().GetCRLIssuerName(session.handle(), c.path.c_str(), issuer); }, unblock),
        c.crlCode)
        << c.path << ": " << session.LastError();
  }
}

}  // namespace
