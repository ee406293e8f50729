// The reference module's key container when things go wrong: key files that
// cannot be read, a creation cut short, temporaries left by a killed writer,
// failed writes, and a power cut at every file change of a renewal (the
// module's own power-cut simulation, CRYPTLIB_REF_POWER_CUT).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;
using namespace reftest;

unsigned FileMode(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 0777u) : 0u;
}

std::vector<std::string> KeyFiles(const std::string& keyDirectory) {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(keyDirectory + "/KEYS")) {
    if (entry.path().extension() == ".key") files.push_back(entry.path().string());
  }
  return files;
}

// Every entry of the tree whose name marks it as a temporary of the module.
std::vector<std::string> Temporaries(const std::string& directory) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name[0] == '.' && name.substr(name.size() - 4) == ".tmp") found.push_back(name);
  }
  return found;
}

// Files of the tree that group or others may read.
std::vector<std::string> OpenToOthers(const std::string& directory) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if ((FileMode(entry.path().string()) & 0077u) != 0) found.push_back(entry.path().string());
  }
  return found;
}

// The pid of a process that has ended.
pid_t EndedProcess() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// ECDSA keys: quick to make, and the file work is the same for every kind.
constexpr char kKeyKind[] = "ECDSA-SHA256";

class ReferenceKeyContainerFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bank_.Enroll(alice_, "Alice", 0x2A01, kKeyKind), 0);
    bank_.Configure(session_, alice_, "AES-256-CBC", kKeyKind);
    ASSERT_EQ(Seal("for alice", envelope_), 0) << session_.LastError();
  }

  int32_t Seal(const std::string& plain, std::vector<char>& data) {
    data.assign(plain.size() + static_cast<size_t>(session_.module().GetMaxEncodeAddition()), '\0');
    std::memcpy(data.data(), plain.data(), plain.size());
    int32_t length = static_cast<int32_t>(plain.size());
    int32_t code = session_.module().EncodeData(session_.handle(), data.data(), &length, "");
    data.resize(code == 0 ? static_cast<size_t>(length) : 0);
    return code;
  }

  // Alice's envelope opened in a new context; the code and the last error.
  int32_t OpenEnvelope(std::string* error = nullptr) {
    Session fresh;
    bank_.Configure(fresh, alice_, "AES-256-CBC", kKeyKind);
    std::vector<char> data = envelope_;
    int32_t length = static_cast<int32_t>(data.size());
    char uid[1024] = "";
    int32_t code = fresh.module().DecodeData(fresh.handle(), data.data(), &length, uid);
    if (error != nullptr) *error = fresh.LastError();
    if (code == 0 && std::string(data.data(), static_cast<size_t>(length)) != "for alice") return -1;
    return code;
  }

  // A new key and request into Alice's existing container.
  int32_t Renew() {
    Session session;
    session.Set(kCommonName, "Alice").Set(kSignature, kKeyKind);
    return session.module().MakeRequestForPSE(session.handle(), alice_.keyDirectory.c_str(),
                                              bank_.Path("Alice/renewal.pem").c_str());
  }

  TestDir dir_;
  Bank bank_{dir_.path()};
  Abonent alice_;
  Session session_;
  std::vector<char> envelope_;
};

TEST_F(ReferenceKeyContainerFaultTest, UnreadableFittingKeyIsNamedWithEveryOtherUnreadableOne) {
  const std::string fitting = KeyFiles(alice_.keyDirectory)[0];
  ASSERT_EQ(Renew(), 0);
  std::vector<std::string> files = KeyFiles(alice_.keyDirectory);
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& file : files) {
    const std::string pem = ReadFile(file);
    WriteFile(file, pem.substr(0, pem.size() / 2));
  }
  std::string error;
  EXPECT_EQ(OpenEnvelope(&error), ref::kErrContainerDamaged);
  for (const std::string& file : files) EXPECT_NE(error.find(file), std::string::npos) << error;
  EXPECT_NE(error.find("error:"), std::string::npos) << "OpenSSL's cause: " << error;
}

TEST_F(ReferenceKeyContainerFaultTest, TornOtherKeyDoesNotHurt) {
  const std::string fitting = KeyFiles(alice_.keyDirectory)[0];
  ASSERT_EQ(Renew(), 0);
  for (const std::string& file : KeyFiles(alice_.keyDirectory)) {
    if (file == fitting) continue;
    const std::string pem = ReadFile(file);
    for (const std::string& damaged : {std::string(), pem.substr(0, pem.size() / 2)}) {
      WriteFile(file, damaged);
      EXPECT_EQ(OpenEnvelope(), 0) << "other key file of " << damaged.size() << " bytes";
    }
  }
}

TEST_F(ReferenceKeyContainerFaultTest, CreationCutShortStartsAgainButKeysAreNeverOrphaned) {
  const std::string keys = bank_.Path("New/keys");
  const std::string master = ReadFile(alice_.keyDirectory + "/mk.db3");
  const std::string masks = ReadFile(alice_.keyDirectory + "/masks.db3");
  const std::string check = ReadFile(alice_.keyDirectory + "/kek.opq");
  struct Leftover {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
  } leftovers[] = {
      {"master key only", {{"mk.db3", master}}},
      {"masks only", {{"masks.db3", masks}}},
      {"empty master key", {{"mk.db3", ""}, {"masks.db3", masks}}},
      {"stale check value", {{"mk.db3", master}, {"kek.opq", check}}},
  };
  for (const Leftover& leftover : leftovers) {
    fs::remove_all(keys);
    fs::create_directories(keys);
    for (const auto& [name, contents] : leftover.files) WriteFile(keys + "/" + name, contents);
    Abonent fresh;
    ASSERT_EQ(bank_.Enroll(fresh, "New", 0x2A02, kKeyKind), 0) << leftover.what;
    Session session;
    bank_.Configure(session, fresh);
    EXPECT_EQ(
        session.module().CertificateAndPSePrivateKeyMatch(session.handle(), fresh.certificate.c_str(), keys.c_str()), 1)
        << leftover.what << ": " << session.LastError();
  }

  // With a key file the secrets are never made anew: the key would be lost.
  fs::remove(alice_.keyDirectory + "/masks.db3");
  const std::string keyFile = ReadFile(KeyFiles(alice_.keyDirectory)[0]);
  EXPECT_EQ(Renew(), ref::kErrContainerDamaged);
  EXPECT_EQ(ReadFile(alice_.keyDirectory + "/mk.db3"), master);
  EXPECT_EQ(ReadFile(KeyFiles(alice_.keyDirectory)[0]), keyFile);
  EXPECT_EQ(KeyFiles(alice_.keyDirectory).size(), 1u);
}

TEST_F(ReferenceKeyContainerFaultTest, TemporariesOfEndedWritersAreRemoved) {
  const std::string dead = "." + std::to_string(EndedProcess());
  const std::string alive = "." + std::to_string(::getpid());
  const std::vector<std::string> leftOver = {alice_.keyDirectory + "/.mk.db3" + dead + "-1-7.tmp",
                                             alice_.keyDirectory + "/KEYS/.0badc0de.key" + dead + "-2-9.tmp"};
  const std::vector<std::string> kept = {alice_.keyDirectory + "/.mk.db3" + alive + "-1-7.tmp",
                                         alice_.keyDirectory + "/.notes" + dead + ".tmp",
                                         alice_.keyDirectory + "/KEYS/unrelated.tmp"};
  for (const std::string& file : leftOver) WriteFile(file, "half");
  for (const std::string& file : kept) WriteFile(file, "someone else's");
  ASSERT_EQ(Renew(), 0);
  for (const std::string& file : leftOver) EXPECT_FALSE(fs::exists(file)) << file;
  for (const std::string& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
}

TEST_F(ReferenceKeyContainerFaultTest, FilesArePrivateFromTheStartAndFailedWritesLeaveNothing) {
  const mode_t previous = ::umask(0);
  ASSERT_EQ(Renew(), 0);
  ::umask(previous);
  EXPECT_EQ(FileMode(alice_.keyDirectory), 0700u);
  EXPECT_EQ(FileMode(alice_.keyDirectory + "/KEYS"), 0700u);
  for (const std::string& file : KeyFiles(alice_.keyDirectory)) EXPECT_EQ(FileMode(file), 0600u) << file;
  EXPECT_EQ(FileMode(bank_.Path("Alice/renewal.pem")), 0644u);
  EXPECT_TRUE(Temporaries(bank_.Path("Alice")).empty());

  // A request that cannot be renamed into place (a directory holds its name).
  fs::create_directories(bank_.Path("Alice/blocked.pem/inside"));
  Session session;
  session.Set(kCommonName, "Alice");
  EXPECT_EQ(session.module().MakeRequestForPSE(session.handle(), alice_.keyDirectory.c_str(),
                                               bank_.Path("Alice/blocked.pem").c_str()),
            ref::kErrWriteFile);
  EXPECT_TRUE(Temporaries(bank_.Path("Alice")).empty()) << Temporaries(bank_.Path("Alice"))[0];
  EXPECT_EQ(OpenEnvelope(), 0);
}

// Runs a renewal in a child whose power is cut before its n-th file change.
// Answers whether the cut came (false: the renewal finished first).
bool RenewWithPowerCutAt(long n, const std::function<int32_t()>& renew) {
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv("CRYPTLIB_REF_POWER_CUT", std::to_string(n).c_str(), 1);
    ::_exit(renew() == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0) << "renewal without a cut failed";
  }
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST_F(ReferenceKeyContainerFaultTest, PowerCutAtEveryFileChangeKeepsOldKeysAndAllowsRenewal) {
  long cuts = 0;
  for (long n = 1; n < 200 && RenewWithPowerCutAt(n, [&] { return Renew(); }); ++n, ++cuts) {
    SCOPED_TRACE("power cut before file change " + std::to_string(n));
    EXPECT_EQ(OpenEnvelope(), 0);
    for (const std::string& file : KeyFiles(alice_.keyDirectory)) {
      EXPECT_NE(ReadFile(file).find("END ENCRYPTED PRIVATE KEY"), std::string::npos) << file << " is torn";
    }
    EXPECT_TRUE(OpenToOthers(alice_.keyDirectory).empty()) << OpenToOthers(alice_.keyDirectory)[0];
    const size_t before = KeyFiles(alice_.keyDirectory).size();
    ASSERT_EQ(Renew(), 0);
    EXPECT_EQ(KeyFiles(alice_.keyDirectory).size(), before + 1);
    EXPECT_TRUE(Temporaries(alice_.keyDirectory).empty()) << Temporaries(alice_.keyDirectory)[0];
    EXPECT_EQ(OpenEnvelope(), 0);
  }
  EXPECT_GE(cuts, 6) << "a renewal makes a key file and a request, each created, written, synced and renamed";
}

TEST_F(ReferenceKeyContainerFaultTest, PowerCutDuringTheFirstGenerationLeavesAContainerThatCanStillBeMade) {
  long cuts = 0;
  for (long n = 1; n < 200; ++n, ++cuts) {
    fs::remove_all(bank_.Path("Dora"));
    Abonent dora;
    if (!RenewWithPowerCutAt(n, [&] { return bank_.Enroll(dora, "Dora", 0x2A03, kKeyKind); })) break;
    SCOPED_TRACE("power cut before file change " + std::to_string(n));
    ASSERT_EQ(bank_.Enroll(dora, "Dora", 0x2A03, kKeyKind), 0);
    Session session;
    bank_.Configure(session, dora);
    EXPECT_EQ(session.module().CertificateAndPSePrivateKeyMatch(session.handle(), dora.certificate.c_str(),
                                                                dora.keyDirectory.c_str()),
              1)
        << session.LastError();
  }
  EXPECT_GE(cuts, 10);
}

}  // namespace
