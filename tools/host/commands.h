// The subcommands of cryptlib-host. Each group lives in its own file and
// lists its commands; main.cpp finds a command by its words.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "output.h"

namespace cryptlib::host {

// Exit statuses the commands share.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // an engine operation or a check failed
constexpr int kExitNoEngine = 2;  // the library cannot be loaded or an engine created
constexpr int kExitUsage = 64;

struct Command {
  std::string name;   // one or two words: "encrypt", "bank issue"
  std::string usage;  // arguments and options after the name
  std::string help;   // one line
  int (*run)(const Options& options, Output& out);
};

std::vector<Command> SelfCheckCommands();
std::vector<Command> ParamCommands();
std::vector<Command> DataCommands();
std::vector<Command> StoreCommands();
std::vector<Command> TransferCommands();
std::vector<Command> KeyCommands();
std::vector<Command> BankCommands();
std::vector<Command> DemoCommands();

}  // namespace cryptlib::host
