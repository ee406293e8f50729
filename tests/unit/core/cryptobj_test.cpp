// The engine base class's shared routines and default slots.
#include "core/cryptobj.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/exceptions.h"

namespace cryptlib {
namespace {

// A concrete engine whose data operations are a visible, reversible transform
// so the header routines can be checked end to end.
class TestEngine : public TCryptoEngine {
 public:
  void GetEngineName(char* buffer) override { std::strcpy(buffer, "test"); }
  int32_t EncodeData(void* data, int32_t* length, const char* uidList) override {
    lastList = uidList != nullptr ? uidList : "<nil>";
    auto* bytes = static_cast<char*>(data);
    for (int32_t i = 0; i < *length; ++i) bytes[i] ^= 0x5A;
    bytes[*length] = '#';  // grows the data by one byte
    *length += 1;
    return 0;
  }
  int32_t DecodeData(void* data, int32_t* length, char* uid) override {
    EXPECT_NE(uid, nullptr);
    auto* bytes = static_cast<char*>(data);
    *length -= 1;
    for (int32_t i = 0; i < *length; ++i) bytes[i] ^= 0x5A;
    return 0;
  }
  int32_t GetMaxEncodeAddition() override { return maxAddition; }
  void SetRoot(const std::string& root) { SetEngineRoot(root); }

  std::string lastList;
  int32_t maxAddition = 255;
};

TEST(ExpandRootPath, ReplacesThePlaceholderInAnyCaseAndUpperCases) {
  TestEngine engine;
  engine.SetRoot("C:\\Client");
  EXPECT_EQ(engine.RootPath(), "C:\\Client\\");
  EXPECT_EQ(engine.ExpandRootPath("%qamroot%\\keys\\a.key"), "C:\\CLIENT\\KEYS\\A.KEY");
  EXPECT_EQ(engine.ExpandRootPath("%QamRoot%keys"), "C:\\CLIENT\\KEYS");
  EXPECT_EQ(engine.ExpandRootPath("%QamRoot%"), "C:\\CLIENT\\");
  EXPECT_EQ(engine.ExpandRootPath("%QamRoot%\\\\x"), "C:\\CLIENT\\\\X");  // only one backslash is dropped
  EXPECT_EQ(engine.ExpandRootPath(" %QamRoot%\\a"), " %QamRoot%\\a");
  EXPECT_EQ(engine.ExpandRootPath("d:\\other\\a.key"), "d:\\other\\a.key");
  EXPECT_EQ(engine.ExpandRootPath("%QamRoo"), "%QamRoo");
  EXPECT_EQ(engine.ExpandRootPath(""), "");
}

TEST(ExpandRootPath, EmptyRootLeavesTheUpperCasedRest) {
  TestEngine engine;
  EXPECT_EQ(engine.ExpandRootPath("%QamRoot%\\keys\\a.key"), "KEYS\\A.KEY");
}

TEST(ExpandRootDir, AddsTheTrailingBackslashOrDriveSuffix) {
  TestEngine engine;
  engine.SetRoot("C:\\Client\\");
  EXPECT_EQ(engine.ExpandRootDir("%QamRoot%\\keys"), "C:\\CLIENT\\KEYS\\");
  EXPECT_EQ(engine.ExpandRootDir("%QamRoot%"), "C:\\CLIENT\\");
  EXPECT_EQ(engine.ExpandRootDir("a"), "a:\\");
  EXPECT_EQ(engine.ExpandRootDir(""), "");
}

TEST(RemoteGeneratePath, IsExpandedAndEndsInABackslash) {
  TestEngine engine;
  engine.SetRoot("C:\\Client");
  engine.SetRemoteGeneratePath("%QamRoot%\\rg");
  EXPECT_EQ(engine.RemoteGeneratePath(), "C:\\CLIENT\\RG\\");
  engine.SetRemoteGeneratePath("D:\\gen\\");
  EXPECT_EQ(engine.RemoteGeneratePath(), "D:\\gen\\");
  engine.SetRemoteGeneratePath("");
  EXPECT_EQ(engine.RemoteGeneratePath(), "");
}

TEST(CopyUID, CopiesTheTerminatorOnlyWhenItFits) {
  std::string uid(60, 'U');
  char target[64];
  std::memset(target, '-', sizeof(target));
  EXPECT_TRUE(TCryptoEngine::CopyUID(uid.c_str(), target, 40));
  EXPECT_EQ(std::string(target, 40), std::string(40, 'U'));
  EXPECT_EQ(target[40], '-');

  std::memset(target, '-', sizeof(target));
  EXPECT_TRUE(TCryptoEngine::CopyUID("Alice", target, 40));
  EXPECT_STREQ(target, "Alice");
  EXPECT_EQ(target[6], '-');

  EXPECT_FALSE(TCryptoEngine::CopyUID(nullptr, target, 40));
  EXPECT_FALSE(TCryptoEngine::CopyUID("Alice", nullptr, 40));
  EXPECT_FALSE(TCryptoEngine::CopyUID("Alice", target, 0));
  EXPECT_FALSE(TCryptoEngine::CopyUID("Alice", target, -3));
}

TEST(DataWithHeader, RoundTripsThroughTheEngineOperations) {
  TestEngine engine;
  char buffer[64] = "secret";
  int32_t length = 6;
  ASSERT_EQ(engine.EncodeDataWithHeader("HDR", buffer, &length, "Alice;Bob"), 0);
  EXPECT_EQ(length, 4 + 7);
  EXPECT_STREQ(buffer, "HDR");
  EXPECT_EQ(engine.lastList, "Alice;Bob");
  EXPECT_EQ(buffer[4], 's' ^ 0x5A);

  void* data = nullptr;
  int32_t dataLength = 0;
  ASSERT_EQ(engine.DecodeDataWithHeader(buffer, length, &data, &dataLength), 0);
  EXPECT_EQ(data, buffer + 4);
  EXPECT_EQ(std::string(static_cast<char*>(data), static_cast<size_t>(dataLength)), "secret");
}

TEST(DataWithHeader, RefusesABlockWithoutHeaderTerminator) {
  TestEngine engine;
  char block[4] = {'a', 'b', 'c', 'd'};
  void* data = nullptr;
  int32_t dataLength = 0;
  EXPECT_EQ(engine.DecodeDataWithHeader(block, 4, &data, &dataLength), -101);
  EXPECT_EQ(data, nullptr);
  int32_t length = -1;
  EXPECT_EQ(engine.EncodeDataWithHeader("H", block, &length, nullptr), -101);
}

TEST(SizeProducts, SaturateInsteadOfWrapping) {
  TestEngine engine;
  EXPECT_EQ(engine.GetMaxEncodeAdditionForCount(3), 765);
  engine.maxAddition = 1 << 20;
  EXPECT_EQ(engine.GetMaxEncodeAdditionForCount(4096), INT32_MAX);
  EXPECT_EQ(engine.GetMaxAdditionEx(std::string(4095, ';').c_str()), INT32_MAX);
  EXPECT_EQ(engine.GetMaxAdditionEx("a"), 1 << 20);
}

// Which slot IncludeByKind reached, told apart by overriding each target.
class DispatchEngine : public TestEngine {
 public:
  int32_t Reserved1(void*, void*, void*) override { return 901; }
  int32_t Reserved2(void*, void*, void*) override { return 902; }
  int32_t Reserved4(void*, void*, void*) override { return 904; }
  int32_t Reserved5(void*, void*) override { return 905; }
  int32_t Reserved6(void*, void*, void*) override { return 906; }
  int32_t Reserved7(void*, void*, void*) override { return 907; }
  int32_t Reserved8(void*, void*, void*, void*) override { return 908; }
  int32_t IncludePublicKey(const char* p) override { return Check(p, 2); }
  int32_t IncludePublicEncodeKey(const char* p) override { return Check(p, 4); }
  int32_t IncludePublicKeyTransfer(const char* p) override { return Check(p, 7); }
  int32_t IncludeCACertificateFromTransfer(const char* p) override { return Check(p, 8); }
  int32_t IncludeCRL(const char* p) override { return Check(p, 10); }

 private:
  static int32_t Check(const char* p, int32_t kind) { return std::strcmp(p, "b") == 0 ? kind : -999; }
};

TEST(IncludeByKind, DispatchesEveryKindWithTheSecondArgument) {
  DispatchEngine engine;
  char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
  const std::vector<std::pair<int32_t, int32_t>> expected = {{1, 902},  {2, 2},  {3, 902}, {4, 4},   {5, 904},
                                                             {6, 905},  {7, 7},  {8, 8},   {9, 901}, {10, 10},
                                                             {11, 906}, {0, -1}, {12, -1}};
  for (auto [kind, result] : expected) EXPECT_EQ(engine.IncludeByKind(kind, a, b, c), result) << kind;
  EXPECT_EQ(engine.ExtendedByKind(4, a, b, c, d), 907);
  EXPECT_EQ(engine.ExtendedByKind(5, a, b, c, d), 908);
  EXPECT_EQ(engine.ExtendedByKind(1, a, b, c, d), -1);
}

TEST(BaseSlots, AnswerTheirDefaults) {
  TestEngine engine;
  char a[] = "a";
  EXPECT_EQ(engine.Reserved0(), -1);
  EXPECT_EQ(engine.Reserved3(a, a, a), -1);
  EXPECT_EQ(engine.IncludeByKind(2, a, a, a), -1);
  EXPECT_EQ(engine.GetMaxSignAddition(), 255 + 255);
  EXPECT_EQ(engine.GetMaxPublicKeyTransferSize(), 4096);
  EXPECT_EQ(engine.GetRemoteGenType(), 1);
  EXPECT_FALSE(engine.IsDifferentKeys());
  EXPECT_TRUE(engine.ParamsChanged());
  EXPECT_THROW(engine.GetCurrentUserUID(a), EAbstractError);
  EXPECT_THROW(engine.GetLastErrorMessage(nullptr), EAssertionFailed);
}

TEST(BaseParameters, StoreOnlyInsideTheList) {
  TestEngine engine;
  engine.ParamValues() = {"one", "", "three"};
  EXPECT_EQ(engine.SetCryptoParamValue(2, "two"), 0);
  EXPECT_EQ(engine.SetCryptoParamValue(4, "four"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(0, "zero"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(1, nullptr), -101);
  char value[16];
  engine.GetCryptoParamValue(2, value);
  EXPECT_STREQ(value, "two");
  std::strcpy(value, "junk");
  engine.GetCryptoParamValue(9, value);
  EXPECT_STREQ(value, "");
}

TEST(LastError, RecordsPrefixClassAndMessage) {
  TestEngine engine;
  int32_t result = engine.Guarded("TTest.Op: ", []() -> int32_t { throw EConvertError("'x' is not a number"); });
  EXPECT_EQ(result, -102);
  EXPECT_EQ(engine.LastError().GetText(), "TTest.Op: EConvertError: 'x' is not a number");
  engine.Guarded("TTest.Alloc: ", []() -> int32_t { throw std::bad_alloc(); });
  EXPECT_EQ(engine.LastError().GetText(), "TTest.Alloc: EOutOfMemory: Out of memory");
}

TEST(LastError, IsSafeToReadWhileAnotherThreadWrites) {
  TestEngine engine;
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) engine.LastError().SetText(i % 2 ? "odd text" : "even");
  });
  for (int i = 0; i < 2000; ++i) {
    std::string text = engine.LastError().GetText();
    EXPECT_TRUE(text.empty() || text == "odd text" || text == "even") << text;
  }
  writer.join();
}

}  // namespace
}  // namespace cryptlib
