// The demo's world: one installation root (the engine's root is set once
// per process), the bank's authority, and the parties (the bank's own
// client and the abonents), each with its directories and parameters. Every
// operation of a party runs on a fresh engine, as a client that starts,
// works and exits.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bank_ca.h"
#include "engine_client.h"
#include "loader/cryptlib_loader.h"

namespace cryptlib::host {

// What parameters 4 and 5 name for one kind of keys.
struct Algorithms {
  std::string name;       // "rsa", "ecdsa", "gost"
  std::string cipher;     // parameter 4
  std::string signature;  // parameter 5
};

// "rsa" (the default), "ecdsa" or "gost"; false for anything else.
bool AlgorithmsByName(const std::string& name, Algorithms& algorithms);

class Party {
 public:
  Party(const std::string& root, const std::string& name, const Algorithms& algorithms);

  const std::string& name() const { return name_; }
  std::string Path(const std::string& relative) const { return home_ + "/" + relative; }
  // The parameters (number, value) this party's engines get.
  std::vector<std::pair<int, std::string>> Parameters() const;
  // A new engine with the parameters set; nullptr with error set when it
  // cannot be created or refuses a parameter.
  std::unique_ptr<EngineClient> Engine(const Exports& api, const std::string& root, std::string& error) const;

  long serial = 0;  // of the certificate the bank issued last
  std::string uid;  // the current certificate's UID (a remote replacement gives a new one)
  // A key made by another tool (unencrypted PEM): parameter 7 when set,
  // and then no key directory (set it after the tree is laid out).
  std::string privateKeyFile;
  // Parameter 8 when set: the party's keys are under a passphrase from this
  // PIN source.
  std::string pinSource;
  // Further vendor parameters (number, value), set after the others: a
  // token's library (18), the token of new keys (10), generation on it (21).
  std::vector<std::pair<int, std::string>> moduleParameters;

 private:
  std::string home_;
  std::string name_;
  Algorithms algorithms_;
};

// Where the demo keeps its artefacts and what it learned on the way.
struct World {
  World(const Exports& engineApi, const std::string& rootDirectory, const Algorithms& keys)
      : api(engineApi), root(rootDirectory), engineRoot(rootDirectory), algorithms(keys) {}

  const Exports& api;
  std::string root;        // where the parties and the authority live
  std::string engineRoot;  // the installation root engines get (the demo's is root)
  Algorithms algorithms;
  std::string modulePath;
  BankCa ca;
  std::map<std::string, std::unique_ptr<Party>> parties;
  std::map<std::string, std::string> transfers;  // each party's own transfer
  std::string payment;                           // the document the abonents exchange

  Party& party(const std::string& name) { return *parties.at(name); }
  std::string Path(const std::string& relative) const { return root + "/" + relative; }
};

}  // namespace cryptlib::host
