// The host tool as a user runs it: the demo for each kind of keys, a failing
// demo step reported, a client's work through subcommands and a profile,
// failures with the engine's code and texts, --json; and the tool's own
// pieces (options, profile, JSON text).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_dir.h"
#include "files.h"
#include "options.h"
#include "output.h"
#include "profile.h"

#ifndef CRYPTLIB_HOST_TOOL
#error "CRYPTLIB_HOST_TOOL names the built cryptlib-host (tests/e2e/CMakeLists.txt)"
#endif

namespace cryptlib::e2e {
namespace {

using test::TestDir;

struct Result {
  int status = -1;
  std::string output;  // stdout and stderr
};

Result RunTool(const std::string& arguments) {
  Result result;
  FILE* pipe = popen((std::string(CRYPTLIB_HOST_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (size_t read; (read = fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, read);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string ModulePath() {
  return std::string(CRYPTLIB_REFERENCE_DIR) + "/mplug2.so";
}

bool HaveGost() {
  return std::system("openssl engine gost >/dev/null 2>&1") == 0;
}

class ToolDemoTest : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Keys, ToolDemoTest, ::testing::Values("rsa", "ecdsa", "gost"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(ToolDemoTest, EveryStepPasses) {
  if (std::string(GetParam()) == "gost" && !HaveGost()) GTEST_SKIP() << "no gost engine";
  const Result result = RunTool(std::string("demo --keys ") + GetParam() + " --module " + ModulePath());
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("demo passed: every step ok"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("[13] new-keys"), std::string::npos);
  EXPECT_EQ(result.output.find("FAILED"), std::string::npos);
}

TEST(ToolDemo, FailingStepIsNamedAndTheRestSkipped) {
  TestDir dir;
  const Result result = RunTool("demo --json --module " + (dir / "missing.so") + " --root " + (dir / "root"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("{\"name\": \"install\", \"result\": \"failed\""), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("missing.so"), std::string::npos);
  EXPECT_NE(result.output.find("{\"name\": \"new-keys\", \"result\": \"skipped\""), std::string::npos);
  EXPECT_NE(result.output.find("\"passed\": false"), std::string::npos);
}

// A client's work through subcommands: an installation root, the bank's
// authority, two abonents with profiles.
class ToolCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("EXE");
    std::filesystem::copy_file(ModulePath(), dir_ / "EXE/mplug2.so");
    ASSERT_EQ(RunTool("bank init " + (dir_ / "ca")).status, 0);
    for (const char* name : {"alice", "bob"}) ASSERT_NO_FATAL_FAILURE(Enroll(name));
  }

  std::string Profile(const std::string& name) const { return dir_ / (name + ".profile"); }
  // The command run as name, with the root and name's profile.
  Result As(const std::string& name, const std::string& command) const {
    return RunTool(command + " --root " + dir_.path() + " --profile " + Profile(name));
  }
  void Enroll(const std::string& name) {
    const std::string home = dir_ / name;
    dir_.WriteFile(name + ".profile", "# " + name + "'s settings\nOwnCertificate=" + home + "/own.pem\n" +
                                          "CertificateDirectory=" + home + "/certs\nKeyDirectory=" + home +
                                          "/keys\n23=" + home + "/keys\nRequestFile=" + home +
                                          "/request.pem\nEncryptionAlgorithm=AES-256-CBC\nSignatureAlgorithm=SHA256\n"
                                          "SubjectC=RU\nSubjectO=Demo Bank\nSubjectCN=" +
                                          name + "\nCADirectory=" + home + "/keys/CA\nCRLDirectory=" + home +
                                          "/keys/CRL\n"
                                          // A context that outlives the millisecond: the module's last error belongs to
                                          // the context of the failed call, which a fresh context would not have.
                                          "22=3600\n");
    Result result = As(name, "generate");
    ASSERT_EQ(result.status, 0) << result.output;
    result = RunTool("bank issue " + home + "/request.pem " + home + "/issued.pem --ca " + (dir_ / "ca"));
    ASSERT_EQ(result.status, 0) << result.output;
    result = As(name, "mkdirs " + home + "/issued.pem " + (dir_ / "ca/ca.pem"));
    ASSERT_EQ(result.status, 0) << result.output;
    result = As(name, "export " + (dir_ / (name + ".transfer")));
    ASSERT_EQ(result.status, 0) << result.output;
  }

  TestDir dir_;
};

TEST_F(ToolCommandTest, TransfersEncryptionAndSignaturesBetweenTwoAbonents) {
  Result result = As("alice", "import " + (dir_ / "bob.transfer") + " --json");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "{\"included\": \"bob\"}\n");
  ASSERT_EQ(As("bob", "import " + (dir_ / "alice.transfer")).status, 0);
  result = As("alice", "inspect " + (dir_ / "bob.transfer"));
  EXPECT_NE(result.output.find("uid: bob\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("CN=bob"), std::string::npos);

  dir_.WriteFile("order.txt", "Payment order 7: 100.00 RUB\n");
  ASSERT_EQ(As("alice", "encrypt " + (dir_ / "order.txt") + " " + (dir_ / "order.enc") + " --to bob").status, 0);
  result = As("bob", "decrypt " + (dir_ / "order.enc") + " " + (dir_ / "order.out") + " --json");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("\"decrypted_for\": \"bob\""), std::string::npos);
  EXPECT_EQ(dir_.ReadFile("order.out"), "Payment order 7: 100.00 RUB\n");

  ASSERT_EQ(As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig")).status, 0);
  result = As("bob", "verify " + (dir_ / "order.txt") + " " + (dir_ / "order.sig") + " --json");
  EXPECT_EQ(result.output, "{\"valid\": true, \"signer\": \"alice\"}\n");
  ASSERT_EQ(As("bob", "attach " + (dir_ / "order.txt") + " " + (dir_ / "order.p7")).status, 0);
  result = As("alice", "detach " + (dir_ / "order.p7") + " " + (dir_ / "order.plain"));
  EXPECT_NE(result.output.find("signer: bob"), std::string::npos) << result.output;
  EXPECT_EQ(dir_.ReadFile("order.plain"), "Payment order 7: 100.00 RUB\n");
}

TEST_F(ToolCommandTest, FailureShowsTheCodeAndBothTexts) {
  dir_.WriteFile("plain.txt", "not encrypted");
  const Result result = As("bob", "decrypt " + (dir_ / "plain.txt") + " " + (dir_ / "out") + " --json");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("\"call\": \"DecodeData\", \"code\": 2008, \"error\": "
                               "\"Data is not encrypted or is damaged\", \"last_error\": \"Data is not encrypted"),
            std::string::npos)
      << result.output;
  EXPECT_FALSE(dir_.Exists("out"));
  // The engine's own codes come with its texts too.
  const Result unknown = As("bob", "report mallory");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.output.find("code: -113"), std::string::npos) << unknown.output;
}

TEST_F(ToolCommandTest, ParamsSetKeepsTheValueInTheProfile) {
  Result result = As("alice", "params set EncryptionAlgorithm DES-EDE3-CBC");
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string profile = dir_.ReadFile("alice.profile");
  EXPECT_EQ(profile.rfind("# alice's settings\n", 0), 0u) << profile;
  EXPECT_NE(profile.find("EncryptionAlgorithm=DES-EDE3-CBC\n"), std::string::npos) << profile;
  EXPECT_EQ(profile.find("AES-256-CBC"), std::string::npos);
  result = As("alice", "params --json");
  EXPECT_NE(result.output.find("{\"number\": 4, \"name\": \"EncryptionAlgorithm\", \"value\": \"DES-EDE3-CBC\"}"),
            std::string::npos)
      << result.output;
  EXPECT_EQ(As("alice", "params set NoSuchParameter 1").status, 64);
}

TEST_F(ToolCommandTest, ProfileErrorsStopTheCommand) {
  dir_.WriteFile("bad.profile", "OwnCertificate=/x\nthis line has no equals sign\n");
  Result result = RunTool("whoami --root " + dir_.path() + " --profile " + (dir_ / "bad.profile"));
  EXPECT_EQ(result.status, 64);
  EXPECT_NE(result.output.find("bad.profile:2: expected name=value"), std::string::npos) << result.output;
  dir_.WriteFile("unknown.profile", "Colour=blue\n");
  result = RunTool("whoami --root " + dir_.path() + " --profile " + (dir_ / "unknown.profile"));
  EXPECT_EQ(result.status, 64);
  EXPECT_NE(result.output.find("no parameter Colour"), std::string::npos) << result.output;
}

TEST(ToolPieces, OptionsTakeValuesAnywhereAndSwitchesAlone) {
  const char* argv[] = {"tool", "--root", "/r", "encrypt", "in", "--json", "out", "--to", "a;b"};
  const host::Options options = host::ParseOptions(9, argv);
  EXPECT_TRUE(options.error.empty());
  EXPECT_EQ(options.words, (std::vector<std::string>{"encrypt", "in", "out"}));
  EXPECT_EQ(options.Get("root"), "/r");
  EXPECT_EQ(options.Get("to"), "a;b");
  EXPECT_TRUE(options.json);
  const char* dangling[] = {"tool", "encrypt", "--to"};
  EXPECT_FALSE(host::ParseOptions(3, dangling).error.empty());
}

TEST(ToolPieces, ProfileKeepsCommentsAndValueSpacesAndReplacesIgnoringCase) {
  TestDir dir;
  dir.WriteFile("p", "# comment\r\n\n ownCertificate = /a/b \n4=AES-256-CBC\n");
  host::Profile profile;
  std::string error;
  ASSERT_TRUE(profile.Load(dir / "p", error)) << error;
  ASSERT_EQ(profile.Entries().size(), 2u);
  EXPECT_EQ(profile.Entries()[0].name, "ownCertificate");
  EXPECT_EQ(profile.Entries()[0].value, " /a/b ");
  profile.Set("OWNCERTIFICATE", "/c");
  profile.Set("5", "SHA1");
  ASSERT_TRUE(profile.Save(dir / "p"));
  EXPECT_EQ(dir.ReadFile("p"), "# comment\n\nownCertificate=/c\n4=AES-256-CBC\n5=SHA1\n");
  EXPECT_TRUE(profile.Load(dir / "missing", error));
  EXPECT_TRUE(profile.Entries().empty());
}

TEST(ToolPieces, ParameterNamesAndNumbers) {
  const std::vector<std::string> names = {"OwnCertificate", "CertificateDirectory"};
  EXPECT_EQ(host::ParameterNumber("certificatedirectory", names), 2);
  EXPECT_EQ(host::ParameterNumber("27", names), 27);
  EXPECT_EQ(host::ParameterNumber("Colour", names), 0);
  EXPECT_EQ(host::ParameterNumber("99999999999", names), 0);
  EXPECT_EQ(host::ParameterNumber("", names), 0);
}

TEST(ToolPieces, JsonTextEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(host::JsonString("a\"b\\c\r\n\t\x01"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\"");
  EXPECT_EQ(host::JsonString("Ж"), "\"Ж\"");
}

}  // namespace
}  // namespace cryptlib::e2e
