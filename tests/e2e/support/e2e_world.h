// What the end-to-end tests share. One installation root per program (the
// engine's root is set once per process) with the reference module in
// <root>/EXE, the engine library loaded by its path like a host; per test a
// world of the host tool (the bank's authority and the parties, each with
// its directories and parameters) in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "demo_log.h"
#include "demo_world.h"
#include "engine_client.h"
#include "host/support/engine_host.h"

#ifndef CRYPTLIB_REFERENCE_DIR
#error "CRYPTLIB_REFERENCE_DIR names the directory of the reference module (tests/CMakeLists.txt)"
#endif

namespace cryptlib::e2e {

using host::Algorithms;
using host::EngineClient;
using host::Party;
using host::Status;
using host::World;

// The module's code for GOST names when the gost engine cannot be loaded.
constexpr int32_t kGostUnavailable = 2024;
// The engine's answer for a local generation that wrote keys and request.
constexpr int32_t kGeneratedAwaitingCertificate = -100;

inline test::TestDir& InstallationRoot() {
  static test::TestDir* root = new test::TestDir();
  return *root;
}

class ReferenceRootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    InstallationRoot().MakeDir("EXE");
    std::filesystem::copy_file(std::string(CRYPTLIB_REFERENCE_DIR) + "/mplug2.so",
                               InstallationRoot() / "EXE/mplug2.so");
    CRYPT_HANDLE engine = test::Api().GetCryptObj();
    test::Api().SetRootPath(engine, InstallationRoot().path().c_str());
    test::Api().DoneEngine(engine);
  }
  // The engine library closes its contexts in the module when it is
  // unloaded: before the module's own state is torn down at exit.
  void TearDown() override { test::UnloadLibrary(); }
};

inline const ::testing::Environment* const kReferenceRootEnvironment =
    ::testing::AddGlobalTestEnvironment(new ReferenceRootEnvironment);

inline Algorithms AlgorithmsNamed(const std::string& name) {
  Algorithms algorithms;
  host::AlgorithmsByName(name, algorithms);
  return algorithms;
}

// A test's world: the bank's authority and parties enrolled on demand.
class WorldTest : public ::testing::Test {
 protected:
  void MakeWorld(const Algorithms& algorithms) {
    world_ = std::make_unique<World>(test::Api(), dir_.path(), algorithms);
    world_->engineRoot = InstallationRoot().path();
    ASSERT_TRUE(world_->ca.Create(dir_ / "BankCA", "Demo Bank", "Demo Bank CA")) << world_->ca.error();
  }

  World& world() { return *world_; }
  Party& party(const std::string& name) { return world_->party(name); }
  Party& AddParty(const std::string& name) {
    world_->parties[name] = std::make_unique<Party>(world_->root, name, world_->algorithms);
    return party(name);
  }

  std::unique_ptr<EngineClient> Engine(const std::string& name) {
    std::string error;
    std::unique_ptr<EngineClient> engine = party(name).Engine(test::Api(), world_->engineRoot, error);
    EXPECT_NE(engine, nullptr) << error;
    return engine;
  }

  // Generates the party's keys with its engine; the module's code (-100 is
  // the expected answer, 2024 means no GOST).
  int32_t Generate(const std::string& name) { return Engine(name)->GenerateKeys().code; }

  // Issues the party's certificate from its request and lays its
  // directories out with it.
  void Certify(const std::string& name) {
    Party& holder = party(name);
    const std::string issued = holder.Path("inbox/" + name + ".pem");
    ASSERT_TRUE(world_->ca.Issue(holder.Path("request.pem"), issued, 365, holder.serial)) << world_->ca.error();
    std::unique_ptr<EngineClient> engine = Engine(name);
    const Status status = engine->CreateDirs(issued, world_->ca.CertificatePath());
    ASSERT_TRUE(status.ok()) << engine->Explain(status);
  }

  // Adds, generates and certifies each party; skips the test when the
  // module has no GOST.
  void Enroll(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      AddParty(name);
      const int32_t code = Generate(name);
      if (code == kGostUnavailable) GTEST_SKIP() << "the gost engine is not available";
      ASSERT_EQ(code, kGeneratedAwaitingCertificate) << name << ": " << Engine(name)->LastError();
      Certify(name);
    }
  }

  // Every party's own transfer filed by every other party.
  void ExchangeTransfers() {
    for (auto& [name, holder] : world_->parties) {
      std::string transfer;
      std::unique_ptr<EngineClient> engine = Engine(name);
      ASSERT_TRUE(engine->OwnTransfer(transfer).ok()) << engine->LastError();
      world_->transfers[name] = transfer;
    }
    for (auto& [receiver, holder] : world_->parties) {
      std::unique_ptr<EngineClient> engine = Engine(receiver);
      for (auto& [sender, transfer] : world_->transfers) {
        if (sender == receiver) continue;
        const Status status = engine->ImportTransfer(transfer);
        ASSERT_TRUE(status.ok()) << receiver << " imports " << sender << ": " << engine->Explain(status);
      }
    }
  }

  static std::string Document(size_t size = 5000) {
    std::string data;
    for (size_t i = 0; i < size; ++i) data += static_cast<char>(i * 7 % 256);  // every byte value
    return data;
  }

  test::TestDir dir_;
  std::unique_ptr<World> world_;
};

}  // namespace cryptlib::e2e
