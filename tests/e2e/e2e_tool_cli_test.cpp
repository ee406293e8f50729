// The tool's command line as a new user meets it: the stumbles of the old
// parser answered as documented (unknown words named, values read strictly,
// help and version on standard output), exit statuses, one JSON object on
// every path, inputs too large for the engine refused before reading.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "support/tool_run.h"

namespace cryptlib::e2e {
namespace {

using test::TestDir;

struct LineCase {
  const char* name;
  std::string arguments;
  int status;
  const char* says;  // a text the output holds
};

class ToolLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("order.txt", "Payment order 7\n");
    dir_.WriteFile("evil.sig", "forged");
    dir_.MakeDir("folder");
    dir_.MakeDir("ca");
  }
  std::string At(const std::string& relative) const { return dir_ / relative; }
  TestDir dir_;
};

TEST_F(ToolLineTest, MistakesAreNamedWithStatus64AndNothingRuns) {
  const std::vector<LineCase> cases = {
      {"misspelt option", "verify " + At("order.txt") + " " + At("evil.sig") + " --proflie client.profile", 64,
       "--proflie"},
      {"option in the wrong case", "encrypt " + At("order.txt") + " " + At("out") + " --To bob", 64, "--To"},
      {"unknown command", "frob", 64, "unknown command frob"},
      {"unknown subcommand", "params frob", 64, "frob"},
      {"missing argument", "encrypt " + At("order.txt"), 64, "OUT"},
      {"extra argument", "whoami extra", 64, "extra"},
      {"dangling value", "encrypt " + At("order.txt") + " " + At("out") + " --to", 64, "--to"},
      {"days not a number", "bank issue a b --ca " + At("ca") + " --days abc", 64, "--days abc"},
      {"days zero", "bank issue a b --ca " + At("ca") + " --days 0", 64, "--days 0"},
      {"serial not hexadecimal", "bank crl " + At("crl") + " --ca " + At("ca") + " --revoke zz", 64, "zz"},
      {"serial with a torn pair", "bank crl " + At("crl") + " --ca " + At("ca") + " --revoke 1:001", 64, "1:001"},
      {"no command", "--root " + At("root"), 64, "no command"},
      {"bad key kind", "demo --keys dsa --root " + At("demo"), 64, "--keys"},
  };
  for (const LineCase& c : cases) {
    const ToolResult result = RunToolMerged(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.name << "\n" << result.output;
    EXPECT_EQ(result.output.find("terminate called"), std::string::npos) << c.name;
  }
  EXPECT_FALSE(dir_.Exists("out"));
  EXPECT_FALSE(dir_.Exists("crl"));
}

TEST_F(ToolLineTest, FilesThatCannotBeReadAreStatus2WithTheReason) {
  const std::vector<LineCase> cases = {
      {"a directory as input", "encrypt " + At("folder") + " " + At("x"), 2, "is a directory"},
      {"a missing input", "verify " + At("order.txt") + " " + At("none.sig"), 2, "No such file"},
      {"a named profile that is missing", "whoami --profile " + At("client.profile"), 2, "client.profile"},
  };
  for (const LineCase& c : cases) {
    const ToolResult result = RunToolMerged(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.name << "\n" << result.output;
  }
  EXPECT_FALSE(dir_.Exists("x"));
}

// A sparse file: no disk is spent, and the refusal must come from its size
// before anything is read.
TEST_F(ToolLineTest, InputsBeyondTheEngineLengthsAreRefusedBeforeReading) {
  for (uintmax_t size : {uintmax_t{0x80000000}, uintmax_t{0x100000000} + 5}) {
    const std::string big = At("big.bin");
    { std::ofstream(big, std::ios::binary); }
    std::filesystem::resize_file(big, size);
    const ToolResult result = RunToolMerged("encrypt " + big + " " + At("big.enc") + " --json");
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_NE(result.output.find("32-bit"), std::string::npos) << result.output;
    EXPECT_TRUE(IsOneJsonObject(result.output)) << result.output;
    EXPECT_FALSE(dir_.Exists("big.enc"));
  }
}

TEST_F(ToolLineTest, HelpAndVersionGoToStandardOutputWithStatus0) {
  for (const std::string& line : {std::string("--help"), std::string("help"), std::string("help encrypt"),
                                  "decrypt " + At("order.txt") + " " + At("out") + " --help"}) {
    const ToolResult result = RunToolStdout(line);
    EXPECT_EQ(result.status, 0) << line;
    EXPECT_NE(result.output.find("Usage"), std::string::npos) << line << "\n" << result.output;
  }
  EXPECT_FALSE(dir_.Exists("out")) << "--help ran the command";
  const ToolResult version = RunToolStdout("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.output.find("tool: cryptlib-host 2.0.0.0"), std::string::npos) << version.output;
  EXPECT_NE(version.output.find("engine_version: 2.0.0.0"), std::string::npos) << version.output;
}

TEST_F(ToolLineTest, EveryCommandHasItsOwnHelp) {
  const ToolResult list = RunToolStdout("--help");
  const std::vector<std::string> commands = {
      "init-root",   "selfcheck",   "params show", "params set",    "generate",      "mkdirs",       "whoami",
      "encrypt",     "decrypt",     "sign",        "verify",        "attach",        "detach",       "export",
      "inspect",     "import",      "include-ca",  "save-transfer", "match",         "include-cert", "remove-cert",
      "include-crl", "report",      "remote type", "remote start",  "remote finish", "bank init",    "bank issue",
      "bank crl",    "bank answer", "demo",        "keys passwd"};
  for (const std::string& command : commands) {
    EXPECT_NE(list.output.find(command.substr(0, command.find(' '))), std::string::npos) << command;
    const ToolResult help = RunToolStdout(command + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.output.find(command.substr(command.find(' ') + 1)), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("--json"), std::string::npos) << command << ": the common options are listed";
  }
}

TEST_F(ToolLineTest, JsonIsOneObjectOnEveryPath) {
  const std::vector<std::string> lines = {
      "--help --json",
      "encrypt --help --json",
      "--version --json",
      "selfcheck --json",
      "frob --json",
      "verify " + At("order.txt") + " --json",
      "verify " + At("order.txt") + " " + At("none.sig") + " --json",
      "encrypt " + At("folder") + " " + At("x") + " --json",
      "whoami --profile " + At("missing.profile") + " --json",
      "params --json --library " + At("no-such-library.so"),
      "bank crl " + At("crl") + " --ca " + At("ca") + " --revoke zz --json",
      "keys passwd --json",
      "keys passwd --key-dir " + At("no-keys") + " --new-pin-source env:HOME --json",
  };
  for (const std::string& line : lines) {
    const ToolResult result = RunToolStdout(line);
    EXPECT_TRUE(IsOneJsonObject(result.output)) << line << "\n" << result.output;
  }
}

TEST_F(ToolLineTest, SelfcheckReportsInJsonAndAMissingLibraryIs69) {
  const ToolResult check = RunToolStdout("selfcheck --json");
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("\"bound\": 76"), std::string::npos) << check.output;
  EXPECT_NE(check.output.find("\"GetCryptObj\": true"), std::string::npos);
  const ToolResult missing = RunToolMerged("whoami --library " + At("no-such-library.so"));
  EXPECT_EQ(missing.status, 69) << missing.output;
}

}  // namespace
}  // namespace cryptlib::e2e
