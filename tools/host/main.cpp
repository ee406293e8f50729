// cryptlib-host: loads the engine library by name, as a banking client does,
// and drives it through its exports. "cryptlib-host help" lists the
// commands; docs/host-tool.md describes them.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"

namespace {

using namespace cryptlib::host;

std::vector<Command> AllCommands() {
  std::vector<Command> all;
  for (auto group : {SelfCheckCommands, ParamCommands, DataCommands, StoreCommands, TransferCommands, KeyCommands
#ifdef CRYPTLIB_HOST_WITH_BANK
                     ,
                     BankCommands, DemoCommands
#endif
       }) {
    for (Command& command : group()) all.push_back(std::move(command));
  }
  return all;
}

int Usage(const std::vector<Command>& commands) {
  std::fprintf(stderr,
               "usage: cryptlib-host COMMAND [ARGUMENTS] [--library NAME_OR_PATH] [--root DIR] [--profile FILE] "
               "[--json]\n\ncommands:\n");
  for (const Command& command : commands)
    std::fprintf(stderr, "  %s %s\n      %s\n", command.name.c_str(), command.usage.c_str(), command.help.c_str());
  return kExitUsage;
}

// The command whose words begin the line: two-word names first.
const Command* Find(const std::vector<Command>& commands, const Options& options) {
  const std::string one = options.Word(0), two = one + " " + options.Word(1);
  for (const Command& command : commands)
    if (command.name == two) return &command;
  for (const Command& command : commands)
    if (command.name == one) return &command;
  // "params" alone shows them.
  if (one == "params")
    for (const Command& command : commands)
      if (command.name == "params show") return &command;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Command> commands = AllCommands();
  const Options options = ParseOptions(argc, argv);
  Output out(options.json);
  if (!options.error.empty()) {
    std::fprintf(stderr, "%s\n", options.error.c_str());
    return kExitUsage;
  }
  const Command* command = Find(commands, options);
  if (command == nullptr) return Usage(commands);
  const int status = command->run(options, out);
  out.Print(status != kExitOk);
  // Everything is printed before the library's and the module's teardown at exit.
  std::fflush(stdout);
  return status;
}
