// Every export that takes pointers or lengths, fed what a careless host or a
// hostile peer may hand it: nil pointers, zero and negative lengths, output
// buffers of exactly the advertised size that end at an inaccessible page,
// unterminated and overlong strings, and damaged transfers. Each answers its
// documented code (docs/engine.md, "Bad input") and writes nothing outside the
// host's buffers: a stray byte past a buffer faults on the guard page, one in
// front of it shows in the slack check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/support/guarded_buffer.h"
#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

// Sizes the host learns from the Get... queries over the fake module.
constexpr size_t kUidSize = 40;
constexpr size_t kTransferSize = 16904;
constexpr size_t kErrorTextSize = 256;

// Codes of the fake module (docs/fake-module.md).
constexpr int32_t kModuleDamaged = 1008;
constexpr int32_t kModuleBufferTooSmall = 1010;
constexpr int32_t kModuleSignatureMismatch = 1011;
constexpr int32_t kModuleNoSignature = 1012;

// The output buffers a row may write into, each of the size the host learns
// for it and ending at a guard page.
struct Outputs {
  GuardedBuffer uid{kUidSize};
  GuardedBuffer text{kErrorTextSize};
  GuardedBuffer transfer{kTransferSize};
  GuardedBuffer report{8192 + 256};
  GuardedBuffer signature{1024};
  GuardedBuffer data{64};

  // Which buffers a refused call left as they were.
  std::string Touched() const {
    std::string touched;
    const std::pair<const char*, const GuardedBuffer*> all[] = {
        {"uid", &uid},       {"text", &text},           {"transfer", &transfer},
        {"report", &report}, {"signature", &signature}, {"data", &data}};
    for (const auto& [name, buffer] : all)
      if (!buffer->Untouched() || !buffer->SlackUntouched()) touched += std::string(name) + " ";
    return touched;
  }
};

// One line of a table: the export and its arguments, and the code it must
// answer. A refused call writes none of the row's outputs.
struct Row {
  const char* call;
  std::function<int32_t(Outputs&)> run;
  int32_t expected;
};

class BadInput : public StoreTest {
 protected:
  // Runs each row on fresh outputs and checks its code and that nothing was
  // written.
  void ExpectRefusals(const std::vector<Row>& rows) const {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.call);
      Outputs out;
      EXPECT_EQ(row.run(out), row.expected);
      EXPECT_EQ(out.Touched(), "");
    }
  }

  // A holder named uid: "<uid>.pem" in the certificate directory.
  void AddHolder(const std::string& uid) const {
    area_.WriteFile("certs/" + uid + ".pem", FakeCertificate("/C=RU/O=Bank/CN=" + uid));
  }

  // The files of the area. IncludeCACertificateFromTransfer makes the
  // store's CA directory before it reads the transfer: directories are part
  // of the store's structure, files are what a refusal must not leave.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    for (const std::string& name : AreaContents())
      if (name.back() != '/') files.insert(name);
    return files;
  }

  // A signed transfer of Bob's certificate, as a peer sends it.
  std::string GoodTransfer() const {
    GuardedBuffer text(kTransferSize);
    EXPECT_EQ(api().GetPublicKeyTransfer(engine(), "Bob", text.data()), 0);
    return text.Text();
  }

  // A detached signature of data by the current user.
  std::string Sign(const std::string& data) const {
    std::vector<char> signature(1024);
    int32_t length = static_cast<int32_t>(signature.size());
    EXPECT_EQ(
        api().SignData(engine(), data.data(), static_cast<int32_t>(data.size()), signature.data(), &length, nullptr),
        0);
    return std::string(signature.data(), static_cast<size_t>(std::max(length, 0)));
  }
};

// ------------------------------------------------ nil pointers and lengths

TEST_F(BadInput, NilPointersAndNonPositiveLengthsOfDataAndSignatures) {
  const char data[] = "payload";
  const std::string signature = Sign(data);
  const auto sigLength = static_cast<int32_t>(signature.size());
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  int32_t zero = 0, negative = -1, seven = 7, huge = 1 << 20;
  ExpectRefusals({
      {"EncodeData(nil data)", [&](Outputs&) { return a.EncodeData(h, nullptr, &seven, "Bob"); }, -101},
      {"EncodeData(nil length)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), nullptr, "Bob"); }, -101},
      {"EncodeData(length 0)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &zero, "Bob"); }, -101},
      {"EncodeData(length -1)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &negative, "Bob"); }, -101},
      // The empty entries of a list are empty UIDs.
      {"EncodeData(list of separators)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &seven, ";;"); },
       -110},
      {"EncodeData(unknown abonent)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &seven, "Nobody"); },
       -113},
      {"EncodeData(abonent outside the store)",
       [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &seven, "..\\keys\\x"); }, -110},
      {"DecodeData(nil data)", [&](Outputs& o) { return a.DecodeData(h, nullptr, &seven, o.uid.data()); }, -101},
      {"DecodeData(nil length)", [&](Outputs& o) { return a.DecodeData(h, o.data.data(), nullptr, o.uid.data()); },
       -101},
      {"DecodeData(length 0)", [&](Outputs& o) { return a.DecodeData(h, o.data.data(), &zero, o.uid.data()); }, -101},
      {"DecodeData(length -1)", [&](Outputs& o) { return a.DecodeData(h, o.data.data(), &negative, o.uid.data()); },
       -101},
      {"DecodeData(nil uid)", [&](Outputs& o) { return a.DecodeData(h, o.data.data(), &seven, nullptr); }, -101},
      {"SignData(nil data)", [&](Outputs& o) { return a.SignData(h, nullptr, 7, o.signature.data(), &huge, nullptr); },
       -101},
      {"SignData(length 0)", [&](Outputs& o) { return a.SignData(h, data, 0, o.signature.data(), &huge, nullptr); },
       -101},
      {"SignData(length -1)", [&](Outputs& o) { return a.SignData(h, data, -1, o.signature.data(), &huge, nullptr); },
       -101},
      {"SignData(nil signature)", [&](Outputs&) { return a.SignData(h, data, 7, nullptr, &huge, nullptr); }, -101},
      {"SignData(nil signature length)",
       [&](Outputs& o) { return a.SignData(h, data, 7, o.signature.data(), nullptr, nullptr); }, -101},
      {"SignData(unknown signer)",
       [&](Outputs& o) { return a.SignData(h, data, 7, o.signature.data(), &huge, "Nobody"); }, -113},
      {"VerifyData(nil data)",
       [&](Outputs& o) { return a.VerifyData(h, nullptr, 7, signature.data(), sigLength, o.uid.data()); }, -101},
      {"VerifyData(length 0)",
       [&](Outputs& o) { return a.VerifyData(h, data, 0, signature.data(), sigLength, o.uid.data()); }, -101},
      {"VerifyData(length -1)",
       [&](Outputs& o) { return a.VerifyData(h, data, -1, signature.data(), sigLength, o.uid.data()); }, -101},
      {"VerifyData(nil signature)",
       [&](Outputs& o) { return a.VerifyData(h, data, 7, nullptr, sigLength, o.uid.data()); }, -101},
      {"VerifyData(signature length 0)",
       [&](Outputs& o) { return a.VerifyData(h, data, 7, signature.data(), 0, o.uid.data()); }, -101},
      {"VerifyData(signature length -1)",
       [&](Outputs& o) { return a.VerifyData(h, data, 7, signature.data(), -1, o.uid.data()); }, -101},
      {"VerifyData(nil signer)",
       [&](Outputs&) { return a.VerifyData(h, data, 7, signature.data(), sigLength, nullptr); }, -101},
      {"VerifyData(truncated signature)",
       [&](Outputs& o) { return a.VerifyData(h, data, 7, signature.data(), sigLength / 2, o.uid.data()); },
       kModuleNoSignature},
      {"VerifySignWOCheckValidity(length -1)",
       [&](Outputs& o) { return a.VerifySignWOCheckValidity(h, data, -1, signature.data(), sigLength, o.uid.data()); },
       -101},
      {"VerifySignWOCheckValidity(nil signer)",
       [&](Outputs&) { return a.VerifySignWOCheckValidity(h, data, 7, signature.data(), sigLength, nullptr); }, -101},
      {"AddSign(nil buffer)", [&](Outputs&) { return a.AddSign(h, nullptr, &seven, nullptr); }, -101},
      {"AddSign(nil length)", [&](Outputs& o) { return a.AddSign(h, o.data.data(), nullptr, nullptr); }, -101},
      {"AddSign(length 0)", [&](Outputs& o) { return a.AddSign(h, o.data.data(), &zero, nullptr); }, -101},
      {"AddSign(length -1)", [&](Outputs& o) { return a.AddSign(h, o.data.data(), &negative, nullptr); }, -101},
      {"RemoveSign(nil buffer)", [&](Outputs& o) { return a.RemoveSign(h, nullptr, &seven, o.uid.data()); }, -101},
      {"RemoveSign(nil length)", [&](Outputs& o) { return a.RemoveSign(h, o.data.data(), nullptr, o.uid.data()); },
       -101},
      {"RemoveSign(length 0)", [&](Outputs& o) { return a.RemoveSign(h, o.data.data(), &zero, o.uid.data()); }, -101},
      {"RemoveSign(length -1)", [&](Outputs& o) { return a.RemoveSign(h, o.data.data(), &negative, o.uid.data()); },
       -101},
      {"RemoveSign(nil signer)", [&](Outputs& o) { return a.RemoveSign(h, o.data.data(), &seven, nullptr); }, -101},
      {"SaveSignedDataToFile(nil data)",
       [&](Outputs&) { return a.SaveSignedDataToFile(h, nullptr, 7, nullptr, 0, (area_ / "f").c_str()); }, -101},
      {"SaveSignedDataToFile(length 0)",
       [&](Outputs&) { return a.SaveSignedDataToFile(h, data, 0, nullptr, 0, (area_ / "f").c_str()); }, -101},
      {"SaveSignedDataToFile(signature length -1)",
       [&](Outputs&) { return a.SaveSignedDataToFile(h, data, 7, data, -1, (area_ / "f").c_str()); }, -101},
      {"SaveSignedDataToFile(nil name)",
       [&](Outputs&) { return a.SaveSignedDataToFile(h, data, 7, nullptr, 0, nullptr); }, -101},
  });
  // The lengths the host gave are its own: no refusal wrote into them.
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(negative, -1);
  EXPECT_EQ(seven, 7);
  EXPECT_FALSE(area_.Exists("f"));
}

TEST_F(BadInput, NilPointersOfIdentitiesParametersStoreAndReports) {
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  const std::string bob = area_ / "certs/Bob.pem";
  int32_t kind = 0, size = 64;
  ExpectRefusals({
      {"SetCryptoParamValue(nil value)", [&](Outputs&) { return a.SetCryptoParamValue(h, 4, nullptr); }, -101},
      {"SetCryptoParamValue(index 0)", [&](Outputs&) { return a.SetCryptoParamValue(h, 0, "x"); }, -101},
      {"SetCryptoParamValue(index -1)", [&](Outputs&) { return a.SetCryptoParamValue(h, -1, "x"); }, -101},
      {"SetCryptoParamValue(index INT32_MIN)", [&](Outputs&) { return a.SetCryptoParamValue(h, INT32_MIN, "x"); },
       -101},
      {"SetCryptoParamValue(index 28)", [&](Outputs&) { return a.SetCryptoParamValue(h, 28, "x"); }, -1},
      {"SetCryptoParamValue(index INT32_MAX)", [&](Outputs&) { return a.SetCryptoParamValue(h, INT32_MAX, "x"); }, -1},
      {"GetParamInfo(nil kind)", [&](Outputs& o) { return a.GetParamInfo(h, 4, nullptr, o.text.data(), &size); }, -101},
      {"GetParamInfo(nil size)", [&](Outputs& o) { return a.GetParamInfo(h, 4, &kind, o.text.data(), nullptr); }, -101},
      {"GetParamInfo(index -1)", [&](Outputs& o) { return a.GetParamInfo(h, -1, &kind, o.text.data(), &size); }, -126},
      {"GetParamInfo(index INT32_MAX)",
       [&](Outputs& o) { return a.GetParamInfo(h, INT32_MAX, &kind, o.text.data(), &size); }, -126},
      {"GetEncodeUIDBySignUID(nil sign uid)",
       [&](Outputs& o) { return a.GetEncodeUIDBySignUID(h, nullptr, o.uid.data()); }, -101},
      {"GetEncodeUIDBySignUID(nil uid)", [&](Outputs&) { return a.GetEncodeUIDBySignUID(h, "Alice", nullptr); }, -101},
      {"GetCurrentUserUID(nil)", [&](Outputs&) { return a.GetCurrentUserUID(h, nullptr); }, -101},
      {"IncludePublicKey(nil)", [&](Outputs&) { return a.IncludePublicKey(h, nullptr); }, -101},
      {"IncludePublicEncodeKey(nil)", [&](Outputs&) { return a.IncludePublicEncodeKey(h, nullptr); }, -101},
      {"IncludeCRL(nil)", [&](Outputs&) { return a.IncludeCRL(h, nullptr); }, -101},
      {"RemoveCertificate(nil)", [&](Outputs&) { return a.RemoveCertificate(h, nullptr); }, -101},
      {"RemoveCertificate(empty)", [&](Outputs&) { return a.RemoveCertificate(h, ""); }, -101},
      {"RemoveCertificate(outside the store)", [&](Outputs&) { return a.RemoveCertificate(h, "..\\certs\\Bob"); },
       -110},
      {"UpdateCertificateCash(nil)", [&](Outputs&) { return a.UpdateCertificateCash(h, nullptr); }, -101},
      {"CreateDirStructure(nil own)", [&](Outputs&) { return a.CreateDirStructure(h, nullptr, ""); }, -101},
      {"CreateDirStructure(nil list)", [&](Outputs&) { return a.CreateDirStructure(h, bob.c_str(), nullptr); }, -101},
      {"GetPublicKeyTransfer(nil uid)",
       [&](Outputs& o) { return a.GetPublicKeyTransfer(h, nullptr, o.transfer.data()); }, -101},
      {"GetPublicKeyTransfer(nil transfer)", [&](Outputs&) { return a.GetPublicKeyTransfer(h, "Bob", nullptr); }, -101},
      {"GetPublicKeyTransfer(unknown uid)",
       [&](Outputs& o) { return a.GetPublicKeyTransfer(h, "Nobody", o.transfer.data()); }, -113},
      {"GetPublicKeyTransfer(uid outside the store)",
       [&](Outputs& o) { return a.GetPublicKeyTransfer(h, "../certs/Bob", o.transfer.data()); }, -110},
      {"ExcludeSelfPublicKeyTransfer(nil)", [&](Outputs&) { return a.ExcludeSelfPublicKeyTransfer(h, nullptr); }, -101},
      {"GetPublicKeyTransferByFile(nil transfer)",
       [&](Outputs&) { return a.GetPublicKeyTransferByFile(h, nullptr, bob.c_str()); }, -101},
      {"GetPublicKeyTransferByFile(nil path)",
       [&](Outputs& o) { return a.GetPublicKeyTransferByFile(h, o.transfer.data(), nullptr); }, -101},
      {"GetPublicKeyTransferByFile(missing file)",
       [&](Outputs& o) { return a.GetPublicKeyTransferByFile(h, o.transfer.data(), (area_ / "none").c_str()); }, -107},
      {"GetReport(nil report)", [&](Outputs&) { return a.GetReport(h, "Bob", nullptr); }, -101},
      {"GetReport(nil uid, no remote path)", [&](Outputs& o) { return a.GetReport(h, nullptr, o.report.data()); },
       -109},
      {"GetPublicKeyProperties(nil report)", [&](Outputs&) { return a.GetPublicKeyProperties(h, "Bob", nullptr); },
       -101},
      {"GetPublicKeyPropertiesByFile(nil path)",
       [&](Outputs& o) { return a.GetPublicKeyPropertiesByFile(h, nullptr, o.report.data()); }, -101},
      {"GetPublicKeyPropertiesByFile(nil report)",
       [&](Outputs&) { return a.GetPublicKeyPropertiesByFile(h, bob.c_str(), nullptr); }, -101},
      {"GetPublicKeyPropertiesByTransfer(nil transfer)",
       [&](Outputs& o) { return a.GetPublicKeyPropertiesByTransfer(h, nullptr, o.report.data()); }, -101},
      {"GetPublicKeyPropertiesByTransfer(nil report)",
       [&](Outputs&) { return a.GetPublicKeyPropertiesByTransfer(h, "AAAA", nullptr); }, -101},
      {"GetUIDByPublicKeyTransfer(nil transfer)",
       [&](Outputs& o) { return a.GetUIDByPublicKeyTransfer(h, nullptr, o.uid.data()); }, -101},
      {"GetUIDByPublicKeyTransfer(nil uid)", [&](Outputs&) { return a.GetUIDByPublicKeyTransfer(h, "AAAA", nullptr); },
       -101},
      {"SavePublicKeyFromTransfer(nil directory)",
       [&](Outputs&) { return a.SavePublicKeyFromTransfer(h, nullptr, "AAAA"); }, -101},
      {"SavePublicKeyFromTransfer(nil transfer)",
       [&](Outputs&) { return a.SavePublicKeyFromTransfer(h, area_.path().c_str(), nullptr); }, -101},
      {"IncludePublicKeyTransfer(nil)", [&](Outputs&) { return a.IncludePublicKeyTransfer(h, nullptr); }, -101},
      {"IncludeCACertificateFromTransfer(nil)",
       [&](Outputs&) { return a.IncludeCACertificateFromTransfer(h, nullptr); }, -101},
      {"CertAndRequestTransferMatch(nil texts)",
       [&](Outputs& o) {
         return a.CertAndRequestTransferMatch(h, nullptr, nullptr, reinterpret_cast<int32_t*>(o.data.data()));
       },
       -101},
      {"CertAndRequestTransferMatch(nil match)",
       [&](Outputs&) { return a.CertAndRequestTransferMatch(h, "AAAA", "AAAA", nullptr); }, -101},
  });
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(size, 64);
}

// Exports this engine does not offer answer -1 whatever their arguments, and
// the size query with a nil list answers the size of one abonent.
TEST_F(BadInput, UnofferedExportsIgnoreTheirArguments) {
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  int32_t length = -1;
  ExpectRefusals({
      {"SignFile(nil)", [&](Outputs&) { return a.SignFile(h, nullptr); }, -1},
      {"VerifyFile(nil, nil)", [&](Outputs&) { return a.VerifyFile(h, nullptr, nullptr); }, -1},
      {"RemoveSignaturesFromFile(nil)", [&](Outputs&) { return a.RemoveSignaturesFromFile(h, nullptr); }, -1},
      {"ConvertTransferToSignedRequest(nil)", [&](Outputs&) { return a.ConvertTransferToSignedRequest(h, nullptr); },
       -1},
      {"HashData(nil, -1)", [&](Outputs&) { return a.HashData(h, nullptr, -1, nullptr, &length, nullptr); }, -1},
      {"ShowCertificate(nil)", [&](Outputs&) { return a.ShowCertificate(h, nullptr); }, -1},
      {"GetPureSign(nil, -1)", [&](Outputs&) { return a.GetPureSign(h, nullptr, -1, nullptr, nullptr, nullptr); }, -1},
      {"GetUIDByCertIdent(nil)", [&](Outputs&) { return a.GetUIDByCertIdent(h, nullptr, nullptr); }, -1},
      {"InstallCertsInMyStore(nil)", [&](Outputs&) { return a.InstallCertsInMyStore(h, nullptr); }, -1},
      {"RegisterOIDInfo(nil, nil)", [&](Outputs&) { return a.RegisterOIDInfo(h, nullptr, nullptr); }, -1},
      {"CheckCompatibles(nil)", [&](Outputs&) { return a.CheckCompatibles(nullptr); }, 0},
      {"GetMaxAdditionEx(nil)", [&](Outputs&) { return a.GetMaxAdditionEx(h, nullptr) - a.GetMaxEncodeAddition(h); },
       0},
  });
  EXPECT_EQ(length, -1);
}

// Remote generation: a nil exchange buffer or transfer is -117 before
// anything is generated or read, a nil step cell -101.
TEST_F(BadInput, RemoteGenerationWithNilArguments) {
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  uint32_t step = 0;
  ExpectRefusals({
      {"RemoteGenerateStartEx(nil buffer)",
       [&](Outputs&) { return a.RemoteGenerateStartEx(h, nullptr, nullptr, &step); }, -117},
      {"RemoteGenerateFinishEx(nil, nil)", [&](Outputs&) { return a.RemoteGenerateFinishEx(h, nullptr, nullptr); },
       -117},
      {"RemoteGenerateStartEx(nil step)",
       [&](Outputs& out) { return a.RemoteGenerateStartEx(h, nullptr, out.transfer.data(), nullptr); }, -101},
  });
  EXPECT_EQ(step, 0u);
}

// The procedures answer nothing: a nil buffer or a bad index must simply not
// fault, and a buffer of the advertised size must hold what they write.
TEST_F(BadInput, ProceduresWithNilBuffersAndBadIndexes) {
  auto& a = api();
  for (int32_t index : {INT32_MIN, -1, 0, 1, 27, 28, INT32_MAX}) {
    SCOPED_TRACE(index);
    a.GetCryptoParamName(engine(), index, nullptr);
    a.GetCryptoParamValue(engine(), index, nullptr);
    GuardedBuffer name(static_cast<size_t>(a.GetMaxCryptoParamNameLength(engine())));
    a.GetCryptoParamName(engine(), index, name.data());
    EXPECT_TRUE(name.SlackUntouched());
    GuardedBuffer value(static_cast<size_t>(a.GetMaxCryptoParamValueLength(engine())));
    a.GetCryptoParamValue(engine(), index, value.data());
    EXPECT_TRUE(value.SlackUntouched());
  }
  for (int32_t code : {INT32_MIN, -129, -102, -100, -1, 0, 1011, INT32_MAX})
    a.GetCryptoErrorString(engine(), code, nullptr);
  a.GetLastErrorMessage(engine(), nullptr);
  a.SetRemoteGeneratePath(engine(), nullptr);
  a.SetPasswordRequestFunc(engine(), nullptr);
  a.SetTMRequestFunc(engine(), nullptr);
}

TEST_F(BadInput, AParameterLongerThanTheAdvertisedValueLengthIsCut) {
  const auto max = static_cast<size_t>(api().GetMaxCryptoParamValueLength(engine()));
  ASSERT_GT(max, 1u);
  const std::string longValue(3 * max, 'v');
  ASSERT_EQ(api().SetCryptoParamValue(engine(), 16, longValue.c_str()), 0);
  GuardedBuffer value(max);
  api().GetCryptoParamValue(engine(), 16, value.data());
  EXPECT_EQ(value.Text(), std::string(max - 1, 'v'));
  EXPECT_TRUE(value.SlackUntouched());
}

TEST_F(BadInput, ErrorTextsFitTheAdvertisedLengthForEveryCode) {
  const auto max = static_cast<size_t>(api().GetMaxErrorStringLength(engine()));
  ASSERT_EQ(max, kErrorTextSize);
  for (int32_t code = -140; code <= 0; ++code) {
    SCOPED_TRACE(code);
    GuardedBuffer text(max);
    api().GetCryptoErrorString(engine(), code, text.data());
    EXPECT_LT(text.Text().size(), max);
    EXPECT_TRUE(text.SlackUntouched());
  }
  GuardedBuffer message(max);
  api().GetLastErrorMessage(engine(), message.data());
  EXPECT_TRUE(message.SlackUntouched());
}

// ------------------------------------- output buffers of the advertised size

TEST_F(BadInput, OutputsFitBuffersOfTheAdvertisedSize) {
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  const std::string data = "payload";

  // A signature capacity far above the real buffer: only the signature is
  // written, never the declared capacity.
  GuardedBuffer signature(static_cast<size_t>(a.GetMaxSignatureLength(h)));
  int32_t capacity = 1 << 20;
  ASSERT_EQ(a.SignData(h, data.data(), 7, signature.data(), &capacity, nullptr), 0);
  ASSERT_GT(capacity, 0);
  EXPECT_LE(static_cast<size_t>(capacity), signature.size());
  EXPECT_TRUE(signature.SlackUntouched());

  // A capacity the signature does not fit: refused, nothing written.
  GuardedBuffer small(10);
  capacity = 10;
  EXPECT_EQ(a.SignData(h, data.data(), 7, small.data(), &capacity, nullptr), kModuleBufferTooSmall);
  EXPECT_TRUE(small.Untouched());
  EXPECT_TRUE(small.SlackUntouched());

  // In-place encryption and attached signatures in exactly the room the
  // host is told to leave.
  GuardedBuffer sealed(data.size() + static_cast<size_t>(a.GetMaxAdditionEx(h, "Alice;Bob")));
  std::memcpy(sealed.data(), data.data(), data.size());
  int32_t length = 7;
  ASSERT_EQ(a.EncodeData(h, sealed.data(), &length, "Alice;Bob"), 0);
  EXPECT_LE(static_cast<size_t>(length), sealed.size());
  GuardedBuffer decodedUid(kUidSize);
  ASSERT_EQ(a.DecodeData(h, sealed.data(), &length, decodedUid.data()), 0);
  EXPECT_EQ(std::string(sealed.data(), static_cast<size_t>(length)), data);
  EXPECT_EQ(decodedUid.Text(), "Alice");

  GuardedBuffer attached(data.size() + static_cast<size_t>(a.GetMaxSignAddition(h)));
  std::memcpy(attached.data(), data.data(), data.size());
  length = 7;
  ASSERT_EQ(a.AddSign(h, attached.data(), &length, nullptr), 0);
  EXPECT_LE(static_cast<size_t>(length), attached.size());
  GuardedBuffer signer(kUidSize);
  ASSERT_EQ(a.RemoveSign(h, attached.data(), &length, signer.data()), 0);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(signer.Text(), "Alice");

  // A description buffer of exactly the size the query answered, with a
  // larger size declared.
  int32_t kind = 0, size = 0;
  ASSERT_EQ(a.GetParamInfo(h, 4, &kind, nullptr, &size), 0);
  GuardedBuffer description(static_cast<size_t>(size));
  size = 1000;
  ASSERT_EQ(a.GetParamInfo(h, 4, &kind, description.data(), &size), 0);
  EXPECT_EQ(description.Text(), "RUS-GAMMAR\r\nDES-EDE3-CBC");
  size = -1;
  EXPECT_EQ(a.GetParamInfo(h, 4, &kind, description.data(), &size), -101);

  GuardedBuffer transfer(static_cast<size_t>(a.GetMaxPublicKeyTransferSize(h)));
  ASSERT_EQ(a.GetPublicKeyTransfer(h, "Bob", transfer.data()), 0);
  GuardedBuffer report(static_cast<size_t>(a.GetMaxReportSize(h)));
  ASSERT_EQ(a.GetReport(h, "Bob", report.data()), 0);
  EXPECT_THAT(report.Text(), ::testing::HasSubstr("CN=Bob"));
  GuardedBuffer reportByTransfer(static_cast<size_t>(a.GetMaxPublicKeyPropertiesLength(h)));
  ASSERT_EQ(a.GetPublicKeyPropertiesByTransfer(h, transfer.data(), reportByTransfer.data()), 0);
  EXPECT_EQ(reportByTransfer.Text(), report.Text());
  for (const GuardedBuffer* buffer : {&transfer, &report, &reportByTransfer, &sealed, &attached, &description})
    EXPECT_TRUE(buffer->SlackUntouched());
}

// Data that is not what the host claims: garbage to decrypt, a signature
// trailer cut off, in buffers ending at the guard page.
TEST_F(BadInput, GarbageInPlaceIsRefusedWithoutWritingPastTheData) {
  auto& a = api();
  GuardedBuffer garbage = GuardedBuffer::Unterminated("not an envelope at all");
  GuardedBuffer uid(kUidSize);
  auto length = static_cast<int32_t>(garbage.size());
  EXPECT_EQ(a.DecodeData(engine(), garbage.data(), &length, uid.data()), kModuleDamaged);
  EXPECT_TRUE(uid.Untouched());
  length = static_cast<int32_t>(garbage.size());
  EXPECT_EQ(a.RemoveSign(engine(), garbage.data(), &length, uid.data()), kModuleNoSignature);
  EXPECT_TRUE(uid.Untouched());
  EXPECT_EQ(garbage.Text(), "not an envelope at all");

  // An attached signature whose trailer was cut off on the way.
  std::vector<char> signedData(7 + static_cast<size_t>(a.GetMaxSignAddition(engine())));
  std::memcpy(signedData.data(), "payload", 7);
  length = 7;
  ASSERT_EQ(a.AddSign(engine(), signedData.data(), &length, nullptr), 0);
  GuardedBuffer cut = GuardedBuffer::Unterminated(std::string(signedData.data(), static_cast<size_t>(length - 5)));
  length = static_cast<int32_t>(cut.size());
  EXPECT_NE(a.RemoveSign(engine(), cut.data(), &length, uid.data()), 0);
  EXPECT_TRUE(uid.Untouched());
}

// ---------------------------------------------------------------- strings

// UIDs around the 40-byte buffer: 39 characters fit with their terminator,
// longer ones are refused (GetEncodeUIDBySignUID) or cut to 39 where the UID
// is reported back (the current user, the signer, the recipient).
TEST_F(BadInput, UidsOf39To300Characters) {
  for (size_t n : {39u, 40u, 41u, 300u}) {
    SCOPED_TRACE(n);
    const std::string uid(n, 'u');
    GuardedBuffer out(kUidSize);
    const int32_t result = api().GetEncodeUIDBySignUID(engine(), uid.c_str(), out.data());
    if (n < kUidSize) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(out.Text(), uid);
    } else {
      EXPECT_EQ(result, -103);
      EXPECT_TRUE(out.Untouched());
    }
    EXPECT_TRUE(out.SlackUntouched());
  }
}

TEST_F(BadInput, HoldersWithLongUidsAreReportedCutToTheBuffer) {
  for (size_t n : {39u, 40u, 41u}) {
    SCOPED_TRACE(n);
    const std::string uid(n, static_cast<char>('a' + n % 26));
    const std::string reported = uid.substr(0, kUidSize - 1);
    AddHolder(uid);
    SetParam(1, Certs() + "/" + uid + ".pem");

    GuardedBuffer current(kUidSize);
    ASSERT_EQ(api().GetCurrentUserUID(engine(), current.data()), 0);
    EXPECT_EQ(current.Text(), reported);

    // Signed under the long UID by name, verified into a 40-byte buffer.
    std::vector<char> signature(1024);
    auto capacity = static_cast<int32_t>(signature.size());
    ASSERT_EQ(api().SignData(engine(), "data", 4, signature.data(), &capacity, uid.c_str()), 0);
    GuardedBuffer signer(kUidSize);
    ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature.data(), capacity, signer.data()), 0);
    EXPECT_EQ(signer.Text(), reported);

    // Encrypted for the long UID, decrypted by its holder.
    std::vector<char> sealed(4 + static_cast<size_t>(api().GetMaxEncodeAddition(engine())));
    std::memcpy(sealed.data(), "data", 4);
    int32_t length = 4;
    ASSERT_EQ(api().EncodeData(engine(), sealed.data(), &length, uid.c_str()), 0);
    GuardedBuffer recipient(kUidSize);
    ASSERT_EQ(api().DecodeData(engine(), sealed.data(), &length, recipient.data()), 0);
    EXPECT_EQ(recipient.Text(), reported);

    for (const GuardedBuffer* buffer : {&current, &signer, &recipient}) EXPECT_TRUE(buffer->SlackUntouched());
  }
  // A peer's transfer carries its whole UID; read back, it is cut to the
  // 40-byte buffer.
  AddHolder("Signer");
  SetParam(1, Certs() + "/Signer.pem");
  const std::string peer(41, 'p');
  AddHolder(peer);
  std::vector<char> peerTransfer(kTransferSize);
  const std::string peerFile = Certs() + "/" + peer + ".pem";
  ASSERT_EQ(api().GetPublicKeyTransferByFile(engine(), peerTransfer.data(), peerFile.c_str()), 0);
  GuardedBuffer owner(kUidSize);
  ASSERT_EQ(api().GetUIDByPublicKeyTransfer(engine(), peerTransfer.data(), owner.data()), 0);
  EXPECT_EQ(owner.Text(), peer.substr(0, kUidSize - 1));
  EXPECT_TRUE(owner.SlackUntouched());

  // A UID too long for any file name can still be the current user's, from
  // a certificate file of another name; asking for it by name finds nothing.
  const std::string uid(300, 'u');
  area_.WriteFile("certs/long.pem", FakeCertificate("/C=RU/O=Bank/CN=" + uid));
  SetParam(1, Certs() + "/long.pem");
  GuardedBuffer current(kUidSize);
  ASSERT_EQ(api().GetCurrentUserUID(engine(), current.data()), 0);
  EXPECT_EQ(current.Text(), uid.substr(0, kUidSize - 1));
  EXPECT_TRUE(current.SlackUntouched());
  std::vector<char> signature(1024);
  auto capacity = static_cast<int32_t>(signature.size());
  EXPECT_EQ(api().SignData(engine(), "data", 4, signature.data(), &capacity, uid.c_str()), -113);
  GuardedBuffer transfer(kTransferSize);
  EXPECT_EQ(api().GetPublicKeyTransfer(engine(), uid.c_str(), transfer.data()), -113);
  GuardedBuffer report(8192 + 256);
  EXPECT_EQ(api().GetReport(engine(), uid.c_str(), report.data()), -113);
  EXPECT_TRUE(transfer.Untouched() && report.Untouched());
}

// Every string export reads its strings up to their zero: a string without
// one is the host's fault, and most exports cannot avoid reading past it. The
// engine never reads a string it does not need, though: whatever refuses a
// call on its other arguments refuses it before touching the string, and
// GetEncodeUIDBySignUID reads no more of a UID than the 40 bytes that decide
// it. The unterminated strings here end at the guard page.
TEST_F(BadInput, UnterminatedStringsAreNotReadWhereTheCallIsRefusedAnyway) {
  const GuardedBuffer longUid = GuardedBuffer::Unterminated(std::string(45, 'u'));
  const GuardedBuffer text = GuardedBuffer::Unterminated("QUJDRA");
  const char* s = text.data();
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  int32_t zero = 0;
  ExpectRefusals({
      {"GetEncodeUIDBySignUID(45 unterminated)",
       [&](Outputs& o) { return a.GetEncodeUIDBySignUID(h, longUid.data(), o.uid.data()); }, -103},
      {"GetEncodeUIDBySignUID(unterminated, nil)", [&](Outputs&) { return a.GetEncodeUIDBySignUID(h, s, nullptr); },
       -101},
      {"SetCryptoParamValue(index 0)", [&](Outputs&) { return a.SetCryptoParamValue(h, 0, s); }, -101},
      {"EncodeData(length 0)", [&](Outputs& o) { return a.EncodeData(h, o.data.data(), &zero, s); }, -101},
      {"SignData(length 0)", [&](Outputs& o) { return a.SignData(h, "x", 0, o.signature.data(), &zero, s); }, -101},
      {"AddSign(nil length)", [&](Outputs& o) { return a.AddSign(h, o.data.data(), nullptr, s); }, -101},
      {"GetPublicKeyTransfer(nil transfer)", [&](Outputs&) { return a.GetPublicKeyTransfer(h, s, nullptr); }, -101},
      {"GetPublicKeyTransferByFile(nil transfer)",
       [&](Outputs&) { return a.GetPublicKeyTransferByFile(h, nullptr, s); }, -101},
      {"GetReport(nil report)", [&](Outputs&) { return a.GetReport(h, s, nullptr); }, -101},
      {"GetPublicKeyPropertiesByFile(nil report)",
       [&](Outputs&) { return a.GetPublicKeyPropertiesByFile(h, s, nullptr); }, -101},
      {"GetPublicKeyPropertiesByTransfer(nil report)",
       [&](Outputs&) { return a.GetPublicKeyPropertiesByTransfer(h, s, nullptr); }, -101},
      {"GetUIDByPublicKeyTransfer(nil uid)", [&](Outputs&) { return a.GetUIDByPublicKeyTransfer(h, s, nullptr); },
       -101},
      {"SavePublicKeyFromTransfer(nil directory)", [&](Outputs&) { return a.SavePublicKeyFromTransfer(h, nullptr, s); },
       -101},
      {"CreateDirStructure(nil list)", [&](Outputs&) { return a.CreateDirStructure(h, s, nullptr); }, -101},
      {"CertAndRequestTransferMatch(nil match)",
       [&](Outputs&) { return a.CertAndRequestTransferMatch(h, s, s, nullptr); }, -101},
      {"SaveSignedDataToFile(nil data)", [&](Outputs&) { return a.SaveSignedDataToFile(h, nullptr, 1, nullptr, 0, s); },
       -101},
  });
}

// --------------------------------------------------------------- transfers

// What a peer may send instead of a transfer, and the code every export that
// reads a transfer answers for it. The store is left exactly as it was.
TEST_F(BadInput, DamagedTransfersAtEveryExportThatReadsOne) {
  const std::string good = GoodTransfer();
  ASSERT_FALSE(good.empty());
  const std::string bob = FakeCertificate(kBobSubject);
  const auto bobLength = static_cast<int32_t>(bob.size());
  struct Damage {
    const char* what;
    std::string text;
    int32_t expected;
  };
  const std::vector<Damage> damages = {
      {"empty", "", -101},
      {"not Base64", "!!!!****", -101},
      {"length not a multiple of 4", good + "=", -101},
      {"padding only", "====", -101},
      {"truncated", good.substr(0, good.size() / 2 / 4 * 4), kModuleNoSignature},
      {"re-padded", good.substr(0, good.size() - 4) + "AA==", kModuleNoSignature},
      {"signature only", good.substr(good.size() - 1024), kModuleSignatureMismatch},
      {"unsigned record", Base64(Record("Bob", bob, bobLength)), kModuleNoSignature},
      {"declared length beyond the record", SignedText(Record("Bob", bob, 8193)), -112},
      {"declared length far beyond", SignedText(Record("Bob", bob, INT32_MAX)), -112},
      {"negative declared length", SignedText(Record("Bob", bob, -1)), -112},
      {"record shorter than its layout", SignedText(Record("Bob", bob, bobLength, 300)), -112},
  };
  const std::set<std::string> before = Files();
  const std::string out = area_ / "out";
  auto& a = api();
  const CRYPT_HANDLE h = engine();
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const char* t = damage.text.c_str();
    ExpectRefusals({
        {"SavePublicKeyFromTransfer", [&](Outputs&) { return a.SavePublicKeyFromTransfer(h, out.c_str(), t); },
         damage.expected},
        {"IncludePublicKeyTransfer", [&](Outputs&) { return a.IncludePublicKeyTransfer(h, t); }, damage.expected},
        {"IncludeCACertificateFromTransfer", [&](Outputs&) { return a.IncludeCACertificateFromTransfer(h, t); },
         damage.expected},
        {"GetUIDByPublicKeyTransfer", [&](Outputs& o) { return a.GetUIDByPublicKeyTransfer(h, t, o.uid.data()); },
         damage.expected},
        {"GetPublicKeyPropertiesByTransfer",
         [&](Outputs& o) { return a.GetPublicKeyPropertiesByTransfer(h, t, o.report.data()); }, damage.expected},
        {"CertAndRequestTransferMatch(as certificate)",
         [&](Outputs& o) {
           return a.CertAndRequestTransferMatch(h, t, good.c_str(), reinterpret_cast<int32_t*>(o.data.data()));
         },
         damage.expected},
        {"CertAndRequestTransferMatch(as request)",
         [&](Outputs& o) {
           return a.CertAndRequestTransferMatch(h, good.c_str(), t, reinterpret_cast<int32_t*>(o.data.data()));
         },
         damage.expected},
    });
  }
  EXPECT_EQ(Files(), before);
}

}  // namespace
}  // namespace cryptlib::test
