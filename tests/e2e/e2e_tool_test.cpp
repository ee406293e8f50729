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

#include "command_line.h"
#include "common/test_dir.h"
#include "files.h"
#include "options.h"
#include "output.h"
#include "pem.h"
#include "profile.h"
#include "support/tool_run.h"
#include "values.h"

#ifndef CRYPTLIB_HOST_TOOL
#error "CRYPTLIB_HOST_TOOL names the built cryptlib-host (tests/e2e/CMakeLists.txt)"
#endif

namespace cryptlib::e2e {
namespace {

using test::TestDir;

using Result = ToolResult;

Result RunTool(const std::string& arguments) {
  return RunToolMerged(arguments);
}

std::string ModulePath() {
  return std::string(CRYPTLIB_REFERENCE_DIR) + "/mplug2.so";
}

bool HaveGost() {
  return std::system("openssl engine gost >/dev/null 2>&1") == 0;
}

class ToolDemoTest : public ::testing::TestWithParam<const char*> {};

bool HaveSoftHsm() {
  return std::system("softhsm2-util --version >/dev/null 2>&1") == 0;
}

INSTANTIATE_TEST_SUITE_P(Keys, ToolDemoTest, ::testing::Values("rsa", "ecdsa", "gost", "token"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(ToolDemoTest, EveryStepPasses) {
  if (std::string(GetParam()) == "gost" && !HaveGost()) GTEST_SKIP() << "no gost engine";
  if (std::string(GetParam()) == "token" && !HaveSoftHsm()) GTEST_SKIP() << "SoftHSM2 is not installed (softhsm2)";
  const Result result = RunTool(std::string("demo --keys ") + GetParam() + " --module " + ModulePath());
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("demo passed: every step ok"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("[13] new-keys"), std::string::npos);
  EXPECT_EQ(result.output.find("FAILED"), std::string::npos);
  if (std::string(GetParam()) == "token") {
    EXPECT_NE(result.output.find("Alice's 2 key file(s): 2 reference(s) to token keys"), std::string::npos);
  }
}

TEST(ToolDemo, FailingStepIsNamedAndTheRestSkipped) {
  TestDir dir;
  const Result result = RunTool("demo --json --module " + (dir / "missing.so") + " --root " + (dir / "root"));
  EXPECT_EQ(result.status, 3);
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
  EXPECT_EQ(result.status, 1) << "a decryption refused";
  EXPECT_NE(result.output.find("\"call\": \"DecodeData\", \"code\": 2008, \"error\": "
                               "\"Data is not encrypted or is damaged\", \"last_error\": \"Data is not encrypted"),
            std::string::npos)
      << result.output;
  EXPECT_FALSE(dir_.Exists("out"));
  // The engine's own codes come with its texts too.
  const Result unknown = As("bob", "report mallory");
  EXPECT_EQ(unknown.status, 3);
  EXPECT_NE(unknown.output.find("code: -113"), std::string::npos) << unknown.output;
}

TEST_F(ToolCommandTest, StandardStreamsForceAndPem) {
  dir_.WriteFile("order.txt", "Payment order 8\n");
  ASSERT_EQ(As("alice", "import " + (dir_ / "bob.transfer")).status, 0);
  const std::string home = " --root " + dir_.path() + " --profile ";
  // Standard error to the pipe, standard output (the data) to the file.
  const std::string tool = CRYPTLIB_HOST_TOOL;
  ToolResult result = RunShell(tool + " encrypt - - --to bob" + home + Profile("alice") + " < " + (dir_ / "order.txt") +
                               " 2>&1 > " + (dir_ / "order.enc"));
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("output: -"), std::string::npos) << "the results went to standard error";
  result = RunShell(tool + " decrypt - -" + home + Profile("bob") + " < " + (dir_ / "order.enc") + " 2>&1 > " +
                    (dir_ / "plain"));
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(dir_.ReadFile("plain"), "Payment order 8\n");

  dir_.WriteFile("taken", "keep me");
  const Result taken = As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "taken"));
  EXPECT_EQ(taken.status, 2) << taken.output;
  EXPECT_NE(taken.output.find("--force"), std::string::npos) << taken.output;
  EXPECT_EQ(dir_.ReadFile("taken"), "keep me");
  ASSERT_EQ(As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "taken") + " --force --pem").status, 0);
  EXPECT_EQ(dir_.ReadFile("taken").rfind("-----BEGIN CMS-----\n", 0), 0u);
  const Result verified = As("bob", "verify " + (dir_ / "order.txt") + " " + (dir_ / "taken") + " --json");
  EXPECT_EQ(verified.output, "{\"valid\": true, \"signer\": \"alice\"}\n");
  // openssl reads the PEM the tool wrote as its own.
  EXPECT_EQ(std::system(("openssl cms -cmsout -inform PEM -in " + (dir_ / "taken") + " -noout").c_str()), 0);
}

TEST_F(ToolCommandTest, RevocationBySerialAsTheReportPrintsIt) {
  ASSERT_EQ(As("bob", "import " + (dir_ / "alice.transfer")).status, 0);
  dir_.WriteFile("order.txt", "Payment order 9\n");
  ASSERT_EQ(As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig")).status, 0);
  const Result report = RunToolStdout("report alice --json --root " + dir_.path() + " --profile " + Profile("bob"));
  ASSERT_EQ(report.status, 0) << report.output;
  EXPECT_TRUE(IsOneJsonObject(report.output)) << report.output;
  const size_t at = report.output.find("\"SN\": \"");
  ASSERT_NE(at, std::string::npos) << report.output;
  const std::string serial = report.output.substr(at + 7, report.output.find('"', at + 7) - at - 7);
  EXPECT_NE(serial.find(':'), std::string::npos) << serial;
  ASSERT_EQ(RunTool("bank crl " + (dir_ / "list.crl") + " --ca " + (dir_ / "ca") + " --revoke " + serial).status, 0);
  ASSERT_EQ(As("bob", "include-crl " + (dir_ / "list.crl")).status, 0);
  const Result refused = As("bob", "verify " + (dir_ / "order.txt") + " " + (dir_ / "order.sig"));
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("code: 2014"), std::string::npos) << refused.output;
}

TEST_F(ToolCommandTest, BankRefusesASubjectValueHoldingASlash) {
  const std::string request = dir_ / "forged.req";
  ASSERT_EQ(std::system(("openssl req -new -newkey rsa:2048 -nodes -keyout " + (dir_ / "forged.key") +
                         " -subj '/C=RU/O=Demo Bank/CN=mallory\\/CN=alice' -out " + request + " 2>/dev/null")
                            .c_str()),
            0);
  const Result result = RunTool("bank issue " + request + " " + (dir_ / "forged.pem") + " --ca " + (dir_ / "ca"));
  EXPECT_EQ(result.status, 3) << result.output;
  EXPECT_NE(result.output.find("mallory/CN=alice"), std::string::npos) << result.output;
  EXPECT_FALSE(dir_.Exists("forged.pem"));
}

TEST_F(ToolCommandTest, PinSourceReachesParameter8) {
  const Result result = RunToolStdout("params --json --pin-source env:CRYPTLIB_PIN --root " + dir_.path() +
                                      " --profile " + Profile("alice"));
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("{\"number\": 8, \"name\": "), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("\"value\": \"env:CRYPTLIB_PIN\"}"), std::string::npos) << result.output;
}

// Alice's container under a passphrase: keys passwd changes it in place,
// and what the old passphrase opened only the new one opens.
class ToolPassphraseTest : public ToolCommandTest {
 protected:
  void SetUp() override {
    ToolCommandTest::SetUp();
    setenv("TOOL_TEST_FIRST", "first passphrase", 1);
    setenv("TOOL_TEST_SECOND", "second passphrase", 1);
    setenv("TOOL_TEST_WRONG", "not the passphrase", 1);
    dir_.WriteFile("order.txt", "Payment order 7: 100.00 RUB\n");
    const Result set = As("alice", "keys passwd --new-pin-source env:TOOL_TEST_FIRST");
    ASSERT_EQ(set.status, 0) << set.output;
    ASSERT_NE(set.output.find("passphrase: set"), std::string::npos) << set.output;
  }
  Result SignAs(const std::string& source) const {
    return As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig") + " --force --pin-source " + source);
  }
  std::string PinFile() const { return dir_.ReadFile("alice/keys/pin.opq"); }
};

TEST_F(ToolPassphraseTest, PasswdChangesThePassphraseAndAWrongOneChangesNothing) {
  ASSERT_EQ(SignAs("env:TOOL_TEST_FIRST").status, 0);
  const std::string before = PinFile();
  Result result = As("alice", "keys passwd --pin-source env:TOOL_TEST_WRONG --new-pin-source env:TOOL_TEST_SECOND");
  EXPECT_EQ(result.status, 3) << result.output;
  EXPECT_NE(result.output.find("wrong passphrase: the passphrase from PIN source env:TOOL_TEST_WRONG"),
            std::string::npos)
      << result.output;
  EXPECT_EQ(PinFile(), before);
  EXPECT_EQ(SignAs("env:TOOL_TEST_FIRST").status, 0);

  result = As("alice", "keys passwd --json --pin-source env:TOOL_TEST_FIRST --new-pin-source env:TOOL_TEST_SECOND");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(IsOneJsonObject(result.output)) << result.output;
  EXPECT_NE(result.output.find("\"passphrase\": \"changed\""), std::string::npos) << result.output;
  EXPECT_EQ(SignAs("env:TOOL_TEST_FIRST").status, 3);
  result = SignAs("env:TOOL_TEST_SECOND");
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(As("bob", "import " + (dir_ / "alice.transfer")).status, 0);
  EXPECT_EQ(As("bob", "verify " + (dir_ / "order.txt") + " " + (dir_ / "order.sig")).status, 0);

  result = As("alice", "keys passwd --pin-source env:TOOL_TEST_SECOND --remove");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_FALSE(dir_.Exists("alice/keys/pin.opq"));
  EXPECT_EQ(As("alice", "sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig") + " --force").status, 0);
}

// Every command that opens keys says the passphrase is wrong (or missing)
// and which PIN source it asked, with status 3: the data was not judged.
TEST_F(ToolPassphraseTest, WrongOrMissingPassphraseIsNamedWithItsSource) {
  ASSERT_EQ(As("bob", "import " + (dir_ / "alice.transfer")).status, 0);
  ASSERT_EQ(As("bob", "encrypt " + (dir_ / "order.txt") + " " + (dir_ / "order.enc") + " --to alice").status, 0);
  const std::string wrong = " --pin-source env:TOOL_TEST_WRONG";
  for (const std::string& command :
       {"sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig") + wrong,
        "decrypt " + (dir_ / "order.enc") + " " + (dir_ / "order.out") + wrong, "generate" + wrong}) {
    const Result result = As("alice", command);
    EXPECT_EQ(result.status, 3) << command << "\n" << result.output;
    EXPECT_NE(result.output.find("wrong passphrase: the passphrase from PIN source env:TOOL_TEST_WRONG does not "
                                 "open the key container"),
              std::string::npos)
        << command << "\n"
        << result.output;
  }
  EXPECT_FALSE(dir_.Exists("order.out"));
  const Result missing = RunToolStdout("sign " + (dir_ / "order.txt") + " " + (dir_ / "order.sig") + " --json --root " +
                                       dir_.path() + " --profile " + Profile("alice"));
  EXPECT_TRUE(IsOneJsonObject(missing.output)) << missing.output;
  EXPECT_NE(missing.output.find("no PIN source is set"), std::string::npos) << missing.output;
  EXPECT_NE(missing.output.find("\"pin_source\": \"\""), std::string::npos) << missing.output;
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

int NoRun(const host::Options&, host::Output&) {
  return 0;
}

const std::vector<host::Command>& SomeCommands() {
  static const std::vector<host::Command> commands = {
      {"encrypt", {"IN", "OUT"}, {{"--to", "UID;UID", ""}, host::ForceOption()}, "", NoRun},
      {"mkdirs", {"OWN", "[CA_FILES]"}, {}, "", NoRun},
      {"params show", {}, {}, "", NoRun},
      {"params set", {"NAME", "VALUE"}, {}, "", NoRun},
  };
  return commands;
}

host::ParsedLine Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "tool");
  return host::ParseCommandLine(SomeCommands(), static_cast<int>(words.size()), words.data());
}

TEST(ToolPieces, OptionsTakeValuesAnywhereAndSwitchesAlone) {
  const host::ParsedLine line = Parse({"--root", "/r", "encrypt", "in", "--json", "out", "--to", "a;b", "--force"});
  ASSERT_EQ(line.action, host::ParsedLine::Action::kRun) << line.text;
  EXPECT_EQ(line.command->name, "encrypt");
  EXPECT_EQ(line.options.words, (std::vector<std::string>{"encrypt", "in", "out"}));
  EXPECT_EQ(line.options.Get("root"), "/r");
  EXPECT_EQ(line.options.Get("to"), "a;b");
  EXPECT_EQ(line.options.Get("force"), "1");
  EXPECT_TRUE(line.options.json);
  EXPECT_EQ(Parse({"encrypt", "in", "out", "--to=x"}).options.Get("to"), "x");
  EXPECT_EQ(Parse({"encrypt", "-", "-"}).options.words, (std::vector<std::string>{"encrypt", "-", "-"}));
}

TEST(ToolPieces, TwoWordCommandsOptionalArgumentsAndMistakes) {
  const host::ParsedLine set = Parse({"params", "set", "4", "DES-EDE3-CBC"});
  ASSERT_EQ(set.action, host::ParsedLine::Action::kRun) << set.text;
  EXPECT_EQ(set.options.words, (std::vector<std::string>{"params", "set", "4", "DES-EDE3-CBC"}));
  EXPECT_EQ(Parse({"params"}).command->name, "params show");
  EXPECT_EQ(Parse({"mkdirs", "own.pem"}).options.words, (std::vector<std::string>{"mkdirs", "own.pem"}));
  struct Mistake {
    std::vector<const char*> words;
    const char* named;
  };
  for (const Mistake& mistake : std::vector<Mistake>{{{"encrypt", "in", "out", "--to"}, "--to"},
                                                     {{"encrypt", "in"}, "OUT"},
                                                     {{"encrypt", "in", "out", "more"}, "more"},
                                                     {{"frob"}, "frob"},
                                                     {{"params", "frob"}, "frob"},
                                                     {{"mkdirs", "own", "--force"}, "--force"}}) {
    const host::ParsedLine line = Parse(mistake.words);
    EXPECT_EQ(line.action, host::ParsedLine::Action::kError) << mistake.named;
    EXPECT_NE(line.text.find(mistake.named), std::string::npos) << line.text;
  }
  EXPECT_EQ(Parse({"help", "encrypt"}).action, host::ParsedLine::Action::kHelp);
  EXPECT_EQ(Parse({"--version"}).action, host::ParsedLine::Action::kVersion);
}

TEST(ToolPieces, SerialsAreHexadecimalAsReportsPrintThem) {
  struct SerialCase {
    const char* text;
    bool ok;
    long long value;
  };
  for (const SerialCase& c : std::vector<SerialCase>{{"10:01", true, 0x1001},
                                                     {"1001", true, 0x1001},
                                                     {"0x1001", true, 0x1001},
                                                     {"010", true, 0x10},
                                                     {"0A", true, 10},
                                                     {"3f:ff:ff:ff:ff:ff:ff:ff", true, 0x3fffffffffffffff},
                                                     {"40:00:00:00:00:00:00:00", false, 0},
                                                     {"zz", false, 0},
                                                     {"", false, 0},
                                                     {"1:001", false, 0},
                                                     {"10:", false, 0},
                                                     {"-1", false, 0},
                                                     {"10 01", false, 0}}) {
    long long value = -1;
    EXPECT_EQ(host::ParseSerial(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  EXPECT_EQ(host::SerialText(0x1001), "10:01");
  EXPECT_EQ(host::SerialText(0xA), "0a");
  std::vector<long long> serials;
  std::string bad;
  EXPECT_TRUE(host::ParseSerialList("10:01,10:03", serials, bad));
  EXPECT_EQ(serials, (std::vector<long long>{0x1001, 0x1003}));
  EXPECT_FALSE(host::ParseSerialList("10:01,zz", serials, bad));
  EXPECT_EQ(bad, "zz");
  int days = 0;
  EXPECT_TRUE(host::ParsePositive("365", 36500, days));
  EXPECT_EQ(days, 365);
  for (const char* wrong : {"abc", "0", "36501", "12x", "", "-5", "99999999999"})
    EXPECT_FALSE(host::ParsePositive(wrong, 36500, days)) << wrong;
}

TEST(ToolPieces, PemRoundTripsAndDamageIsRefused) {
  for (const std::string& der : {std::string(), std::string("\x30\x82\x01", 3), std::string(200, '\xff')}) {
    const std::string pem = host::PemEncode("CMS", der);
    EXPECT_EQ(pem.rfind("-----BEGIN CMS-----\n", 0), 0u);
    EXPECT_TRUE(host::LooksLikePem(pem));
    std::string back;
    ASSERT_TRUE(host::PemDecode(pem, back));
    EXPECT_EQ(back, der);
  }
  std::string back;
  EXPECT_FALSE(host::PemDecode("-----BEGIN CMS-----\nab!d\n-----END CMS-----\n", back));
  EXPECT_FALSE(host::PemDecode("-----BEGIN CMS-----\nabcd\n", back));
  EXPECT_FALSE(host::LooksLikePem(std::string("\x30\x82", 2)));
}

TEST(ToolPieces, ReportBecomesAnObjectOfItsProperties) {
  const std::string report =
      "SN=10:01\r\nICN=Demo Bank CA\r\nCN=alice\r\nPKeyAlg=rsaEncryption\r\nPKey=\r\n"
      "    Modulus:\r\n    00:c3\r\n    Exponent: 65537 (0x10001)\r\n";
  EXPECT_EQ(host::ReportJson(report),
            "{\"SN\": \"10:01\", \"ICN\": \"Demo Bank CA\", \"CN\": \"alice\", \"PKeyAlg\": \"rsaEncryption\", "
            "\"PKey\": \"    Modulus:\\n    00:c3\\n    Exponent: 65537 (0x10001)\"}");
}

TEST(ToolPieces, FilesKeepExistingOutputsUnlessReplacedAndLeaveNoPartials) {
  TestDir dir;
  std::string reason;
  ASSERT_TRUE(host::WriteWholeFile(dir / "out", "first", reason, false)) << reason;
  EXPECT_FALSE(host::WriteWholeFile(dir / "out", "second", reason, false));
  EXPECT_NE(reason.find("--force"), std::string::npos);
  EXPECT_EQ(dir.ReadFile("out"), "first");
  ASSERT_TRUE(host::WriteWholeFile(dir / "out", "second", reason, true)) << reason;
  EXPECT_EQ(dir.ReadFile("out"), "second");
  EXPECT_FALSE(host::WriteWholeFile(dir / "missing/out", "x", reason));
  EXPECT_FALSE(dir.Exists("out.cryptlib-partial"));
  std::string contents;
  dir.WriteFile("six", "123456");
  EXPECT_FALSE(host::ReadWholeFile(dir / "six", contents, reason, 5));
  EXPECT_NE(reason.find("32-bit"), std::string::npos) << reason;
  EXPECT_TRUE(host::ReadWholeFile(dir / "six", contents, reason, 6));
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
