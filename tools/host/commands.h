// The subcommands of cryptlib-host. Each group lives in its own file and
// declares its commands: the words, the positional arguments and the
// options they take; command_line.cpp turns the declarations into the
// parser, so that help, checks and the command's code share one table.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "output.h"

namespace cryptlib::host {

// Exit statuses (docs/host-tool.md lists them for users).
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;    // a signature or decryption refused: the data is not what it claims
constexpr int kExitFile = 2;       // a file cannot be read or written
constexpr int kExitFailed = 3;     // the engine or the bank refused the operation for another reason
constexpr int kExitUsage = 64;     // the command line or the profile is wrong
constexpr int kExitNoEngine = 69;  // the library cannot be loaded, lacks exports, or no engine is created
constexpr int kExitInternal = 70;  // a fault of the tool itself

// An option a command accepts: "--to" with a value named "UID;UID", or a
// switch when value is empty.
struct OptionSpec {
  std::string name;
  std::string value;
  std::string help;
};

struct Command {
  std::string name;                    // one or two words: "encrypt", "bank issue"
  std::vector<std::string> arguments;  // positional arguments in order; "[NAME]" is optional
  std::vector<OptionSpec> options;     // the command's own options (the common ones are everyone's)
  std::string help;                    // one line
  int (*run)(const Options& options, Output& out);
};

// Options of commands that write a file.
OptionSpec ForceOption();
OptionSpec PemOption();

std::vector<Command> SelfCheckCommands();
std::vector<Command> ParamCommands();
std::vector<Command> DataCommands();
std::vector<Command> StoreCommands();
std::vector<Command> TransferCommands();
std::vector<Command> KeyCommands();
std::vector<Command> PasswdCommands();  // with the reference module's key container
std::vector<Command> TokenCommands();   // the same: its references to token keys
std::vector<Command> RootCommands();
std::vector<Command> BankCommands();
std::vector<Command> DemoCommands();

}  // namespace cryptlib::host
