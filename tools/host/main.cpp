// cryptlib-host: loads the engine library by name, as a banking client does,
// and drives it through its exports. "cryptlib-host --help" lists the
// commands; docs/host-tool.md and cryptlib-host(1) describe them.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "versions.h"

namespace {

using namespace cryptlib::host;

std::vector<Command> AllCommands() {
  std::vector<Command> all;
  for (auto group :
       {SelfCheckCommands, ParamCommands, DataCommands, StoreCommands, TransferCommands, KeyCommands, RootCommands
#ifdef CRYPTLIB_HOST_WITH_PASSWD
        ,
        PasswdCommands, TokenCommands
#endif
#ifdef CRYPTLIB_HOST_WITH_BANK
        ,
        BankCommands, DemoCommands
#endif
       }) {
    for (Command& command : group()) all.push_back(std::move(command));
  }
  return all;
}

// Whether --json is on the line, known before the line is parsed so that
// even a line that cannot be parsed answers in JSON.
bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--json") == 0) return true;
  return false;
}

int Finish(const Output& out, int status) {
  out.Print(status != kExitOk);
  // Everything is printed before the library's and the module's teardown at exit.
  std::fflush(stdout);
  std::fflush(stderr);
  return status;
}

int Run(int argc, char** argv, Output& out) {
  const std::vector<Command> commands = AllCommands();
  const ParsedLine line = ParseCommandLine(commands, argc, argv);
  switch (line.action) {
    case ParsedLine::Action::kHelp:
      if (out.json()) {
        out.Add("help", line.text);
        return kExitOk;
      }
      std::fputs(line.text.c_str(), stdout);
      return kExitOk;
    case ParsedLine::Action::kVersion:
      return PrintVersions(line.options, out);
    case ParsedLine::Action::kError:
      out.Add("error", line.text);
      return kExitUsage;
    case ParsedLine::Action::kRun:
      break;
  }
  return line.command->run(line.options, out);
}

}  // namespace

int main(int argc, char** argv) {
  Output out(WantsJson(argc, argv));
  try {
    return Finish(out, Run(argc, argv, out));
  } catch (const std::exception& error) {
    Output failure(out.json());
    failure.Add("error", std::string("internal error: ") + error.what());
    return Finish(failure, kExitInternal);
  } catch (...) {
    Output failure(out.json());
    failure.Add("error", "internal error");
    return Finish(failure, kExitInternal);
  }
}
