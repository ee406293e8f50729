// The flows docs/host-tool.md shows run as written: every ```sh block of
// the file, in order, in one shell in an empty directory, with the built
// tool on the PATH. The test reads the document itself, so the text and
// the tool cannot drift apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "support/tool_run.h"

#ifndef CRYPTLIB_SOURCE_DIR
#error "CRYPTLIB_SOURCE_DIR is the source tree (tests/e2e/CMakeLists.txt)"
#endif

namespace cryptlib::e2e {
namespace {

// The bodies of the fenced blocks that open with "```sh".
std::vector<std::string> ShellBlocks(const std::string& markdown) {
  std::vector<std::string> blocks;
  std::istringstream lines(markdown);
  std::string line, block;
  bool inside = false;
  while (std::getline(lines, line)) {
    if (!inside && line == "```sh") {
      inside = true;
      block.clear();
    } else if (inside && line == "```") {
      inside = false;
      blocks.push_back(block);
    } else if (inside) {
      block += line + "\n";
    }
  }
  return blocks;
}

std::string ReadDocument(const std::string& relative) {
  std::ifstream in(std::string(CRYPTLIB_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DocFlows, ShellBlocksAreFoundOnlyInShFences) {
  const std::vector<std::string> blocks =
      ShellBlocks("text\n```sh\necho one\n```\n    indented\n```\nnot shell\n```\n```sh\necho two\n```\n");
  EXPECT_EQ(blocks, (std::vector<std::string>{"echo one\n", "echo two\n"}));
}

TEST(DocFlows, HostToolFlowsRunAsWritten) {
  const std::vector<std::string> blocks = ShellBlocks(ReadDocument("docs/host-tool.md"));
  ASSERT_GE(blocks.size(), 3u) << "docs/host-tool.md lost its flows";
  test::TestDir dir;
  std::string script = "set -euo pipefail\n";
  for (const std::string& block : blocks) script += block;
  dir.WriteFile("flow.sh", script);
  const std::string toolDirectory = std::filesystem::path(CRYPTLIB_HOST_TOOL).parent_path().string();
  const ToolResult result =
      RunShell("cd " + dir.path() + " && PATH=" + toolDirectory + ":$PATH CRYPTLIB_PROFILE= bash -x flow.sh 2>&1");
  EXPECT_EQ(result.status, 0) << result.output;
  // The remote replacement ends with Bob asking who he is: the new keys' holder.
  EXPECT_NE(result.output.find("uid: bob ("), std::string::npos) << result.output;
  // The passphrase flow ran through: set, changed, and the old one refused.
  EXPECT_NE(result.output.find("passphrase: set"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("passphrase: changed"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("wrong passphrase: the passphrase from PIN source env:ALICE_PASSPHRASE"),
            std::string::npos)
      << result.output;
  // Carol's token flow ran through to the removal of her old token key.
  if (std::system("softhsm2-util --version >/dev/null 2>&1") == 0) {
    EXPECT_NE(result.output.find("removed: pkcs11:token=carol;"), std::string::npos) << result.output;
  }
}

}  // namespace
}  // namespace cryptlib::e2e
