// The command line of cryptlib-host on CLI11: every command of the table
// becomes a subcommand (two-word commands nest under their first word) with
// its positional arguments and options; the common options are accepted
// anywhere on the line. Unknown commands and options, missing arguments and
// dangling values are errors that name the word.
#pragma once

#include <string>
#include <vector>

#include "commands.h"
#include "options.h"

namespace cryptlib::host {

struct ParsedLine {
  enum class Action { kRun, kHelp, kVersion, kError };
  Action action = Action::kError;
  const Command* command = nullptr;  // for kRun
  Options options;
  std::string text;  // the help text (kHelp) or the error message (kError)
};

// "help" and "help COMMAND..." are read as "--help" and "COMMAND... --help".
ParsedLine ParseCommandLine(const std::vector<Command>& commands, int argc, const char* const* argv);

// The common options every command accepts.
std::vector<OptionSpec> CommonOptions();

}  // namespace cryptlib::host
