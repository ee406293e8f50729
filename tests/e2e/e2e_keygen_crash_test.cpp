// GenerateNewSEK with the reference module into a key directory that already
// holds working keys, interrupted at every file change it makes (engine and
// module alike, through the kill shim): killed before it, killed halfway
// through a write, or out of disk space from it on; and cut by a power loss at
// every file change of the module (its own simulation, which also drops what
// was not synced). Afterwards, in a new process as a user would go on: the old
// keys still sign and decrypt, nothing with key material is open to others,
// and the generation run again works and leaves no temporary behind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/crash_child.h"
#include "common/kill_shim.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

namespace fs = std::filesystem;

// What a check in the new process found wrong (its exit code).
enum CheckFailure : int {
  kAllWell = 0,
  kCannotSign = 10,
  kCannotVerify,
  kCannotDecrypt,
  kCannotEncrypt,
  kGenerationAgainFailed,
  kKeyMaterialOpenToOthers,
  kTemporaryLeft,
  kTornKeyFile,
  kTornRequest,
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsTemporary(const std::string& name) {
  return name.size() > 4 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

class KeyGenerationCrashTest : public WorldTest {
 protected:
  void SetUp() override {
    if (!KillShimAvailable()) GTEST_SKIP() << "the kill shim is left out under sanitizers";
    MakeWorld(AlgorithmsNamed("ecdsa"));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Alice", "Bob"}));
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
    std::unique_ptr<EngineClient> bob = Engine("Bob");
    envelope_ = Document(300);
    ASSERT_TRUE(bob->Encrypt(envelope_, "Alice").ok()) << bob->LastError();
  }

  std::string Keys() { return party("Alice").Path("keys"); }

  // Alice's generation; 0 when the engine answered what a local generation
  // answers, else the code.
  int Generate() {
    const int32_t code = Engine("Alice")->GenerateKeys().code;
    return code == kGeneratedAwaitingCertificate ? 0 : (code == 0 ? 1 : 2);
  }

  // Alice and Bob at work with the keys of their certificates.
  int UseKeys() {
    std::unique_ptr<EngineClient> alice = Engine("Alice");
    std::unique_ptr<EngineClient> bob = Engine("Bob");
    const std::string document = Document(200);
    std::string signature, signer, data = envelope_, recipient;
    if (!alice->Sign(document, signature, "").ok()) return kCannotSign;
    if (!bob->Verify(document, signature, signer, false).ok() || signer != "Alice") return kCannotVerify;
    if (!alice->Decrypt(data, recipient).ok() || data != Document(300)) return kCannotDecrypt;
    data = document;
    if (!alice->Encrypt(data, "Bob").ok() || !bob->Decrypt(data, recipient).ok() || data != document) {
      return kCannotEncrypt;
    }
    return kAllWell;
  }

  // What is on disk: key files whole and private, no temporary left.
  int Inspect(bool temporariesAllowed) {
    for (const auto& entry : fs::recursive_directory_iterator(Keys())) {
      struct stat status {};
      ::stat(entry.path().c_str(), &status);
      const std::string name = entry.path().filename().string();
      const bool secret = name == "mk.db3" || name == "masks.db3" || entry.path().extension() == ".key";
      if (secret && (status.st_mode & 0077) != 0) return kKeyMaterialOpenToOthers;
      if (!temporariesAllowed && IsTemporary(name)) return kTemporaryLeft;
      if (entry.path().extension() == ".key" &&
          ReadWhole(entry.path().string()).find("END ENCRYPTED PRIVATE KEY") == std::string::npos) {
        return kTornKeyFile;
      }
    }
    // The request is written beside the party's other files.
    for (const auto& entry : fs::directory_iterator(fs::path(Keys()).parent_path())) {
      if (!temporariesAllowed && IsTemporary(entry.path().filename().string())) return kTemporaryLeft;
    }
    return kAllWell;
  }

  // What the user does next, in a new process: use the keys, generate again,
  // use the keys again.
  int CarryOn() {
    if (int found = Inspect(true)) return found;
    if (int found = UseKeys()) return found;
    if (Generate() != 0) return kGenerationAgainFailed;
    if (ReadWhole(party("Alice").Path("request.pem")).find("END CERTIFICATE REQUEST") == std::string::npos) {
      return kTornRequest;
    }
    if (int found = Inspect(false)) return found;
    return UseKeys();
  }

  void Sweep(int mode) {
    const long operations = test::CountOperations([&] { return Generate(); });
    ASSERT_GT(operations, 3) << "a generation writes a key file and a request";
    for (long at = 1; at <= operations; ++at) {
      SCOPED_TRACE("fault (mode " + std::to_string(mode) + ") at file change " + std::to_string(at));
      const test::ChildOutcome run = test::RunInChild(at, mode, [&] { return Generate(); });
      if (mode == KILL_SHIM_NO_SPACE) {
        EXPECT_FALSE(run.killed);
        // A full disk may strike something the generation can do without;
        // success is then whole (CarryOn looks at the request first).
      } else {
        EXPECT_TRUE(run.killed) << "exit " << run.exitCode;
      }
      EXPECT_EQ(test::RunInChild(0, KILL_SHIM_KILL_BEFORE, [&] { return CarryOn(); }).exitCode, kAllWell);
    }
  }

  std::string envelope_;
};

TEST_F(KeyGenerationCrashTest, KilledBeforeEveryFileChange) {
  Sweep(KILL_SHIM_KILL_BEFORE);
}

TEST_F(KeyGenerationCrashTest, KilledHalfwayThroughEveryWrite) {
  Sweep(KILL_SHIM_TEAR);
}

TEST_F(KeyGenerationCrashTest, DiskFullFromEveryFileChangeOn) {
  Sweep(KILL_SHIM_NO_SPACE);
}

TEST_F(KeyGenerationCrashTest, PowerCutBeforeEveryFileChangeOfTheModule) {
  long cuts = 0;
  for (long at = 1; at < 100; ++at, ++cuts) {
    const test::ChildOutcome run = test::RunInChild(0, KILL_SHIM_KILL_BEFORE, [&] {
      ::setenv("CRYPTLIB_REF_POWER_CUT", std::to_string(at).c_str(), 1);
      return Generate();
    });
    if (!run.killed) {
      EXPECT_EQ(run.exitCode, 0) << "the generation without a cut";
      break;
    }
    SCOPED_TRACE("power cut at file change " + std::to_string(at));
    EXPECT_EQ(test::RunInChild(0, KILL_SHIM_KILL_BEFORE, [&] { return CarryOn(); }).exitCode, kAllWell);
  }
  EXPECT_GE(cuts, 8) << "a key file and a request, each created, written, synced, renamed, directory synced";
}

}  // namespace
}  // namespace cryptlib::e2e
