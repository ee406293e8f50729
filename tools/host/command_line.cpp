#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

namespace cryptlib::host {
namespace {

constexpr const char* kTool = "cryptlib-host";

// One option of the parser and the name the command reads it by.
struct BoundOption {
  std::string name;  // without the dashes
  CLI::Option* option;
  bool isSwitch;
};

// A command's subcommand with its arguments and options in parser form.
struct BoundCommand {
  const Command* command;
  CLI::App* app;
  std::vector<CLI::Option*> arguments;
  std::vector<BoundOption> options;
};

std::string Bare(const std::string& name) {
  return name.size() > 2 && name.front() == '[' && name.back() == ']' ? name.substr(1, name.size() - 2) : name;
}

BoundOption AddOption(CLI::App& app, const OptionSpec& declared) {
  if (declared.value.empty()) return {declared.name.substr(2), app.add_flag(declared.name, declared.help), true};
  CLI::Option* option = app.add_option(declared.name, declared.help);
  option->type_name(declared.value);
  return {declared.name.substr(2), option, false};
}

// The parser: the common options on the tool, one subcommand per command.
class Parser {
 public:
  explicit Parser(const std::vector<Command>& commands)
      : app_("Drives the CryptLib engine like a banking client.", kTool) {
    // On Windows CLI11 would read "/word" as an option: a path such as
    // "/srv/bank" (the current drive's root, and every POSIX path under
    // Wine) would stop being an argument. Options are "--name" only; the
    // subcommands added below inherit this.
    app_.allow_windows_style_options(false);
    app_.require_subcommand(0, 1);
    app_.fallthrough();
    app_.footer("Run '" + std::string(kTool) +
                " COMMAND --help' for a command's arguments; docs/host-tool.md "
                "and cryptlib-host(1) describe them all.");
    for (const OptionSpec& declared : CommonOptions()) common_.push_back(AddOption(app_, declared));
    const std::string versionHelp = "print the tool's, the engine's and the module's versions";
    version_ = app_.add_flag("--version", versionHelp);
    for (const Command& command : commands) Add(command);
  }

  ParsedLine Parse(std::vector<std::string> arguments) {
    ParsedLine line;
    // CLI11 takes the arguments last to first.
    std::reverse(arguments.begin(), arguments.end());
    try {
      app_.parse(arguments);
    } catch (const CLI::CallForHelp&) {
      line.action = ParsedLine::Action::kHelp;
      line.text = app_.help();
      return line;
    } catch (const CLI::ParseError& error) {
      line.text = Explain(error);
      return line;
    }
    Collect(common_, line.options);
    if (version_->count() > 0) {
      line.action = ParsedLine::Action::kVersion;
      return line;
    }
    const BoundCommand* chosen = Chosen();
    if (chosen == nullptr) {
      line.text = "no command given; '" + std::string(kTool) + " --help' lists them";
      return line;
    }
    line.action = ParsedLine::Action::kRun;
    line.command = chosen->command;
    Fill(*chosen, line.options);
    return line;
  }

 private:
  CLI::App& Group(const std::string& word) {
    auto found = groups_.find(word);
    if (found != groups_.end()) return *found->second;
    CLI::App* group = app_.add_subcommand(word, word + " commands");
    group->fallthrough();
    group->require_subcommand(word == "params" ? 0 : 1, 1);
    groups_[word] = group;
    return *group;
  }

  void Add(const Command& command) {
    const size_t space = command.name.find(' ');
    CLI::App* app =
        space == std::string::npos
            ? app_.add_subcommand(command.name, command.help)
            : Group(command.name.substr(0, space)).add_subcommand(command.name.substr(space + 1), command.help);
    app->fallthrough();
    BoundCommand bound{&command, app, {}, {}};
    for (const std::string& argument : command.arguments) {
      CLI::Option* option = app->add_option(Bare(argument));
      option->required(Bare(argument) == argument);
      bound.arguments.push_back(option);
    }
    for (const OptionSpec& declared : command.options) bound.options.push_back(AddOption(*app, declared));
    // Also here, so that the command's help lists them; before the command
    // they reach the tool's own.
    for (const OptionSpec& declared : CommonOptions()) bound.options.push_back(AddOption(*app, declared));
    commands_.push_back(bound);
  }

  // The command whose subcommand was parsed; "params" alone shows them.
  const BoundCommand* Chosen() const {
    for (const BoundCommand& bound : commands_)
      if (bound.app->parsed()) return &bound;
    auto params = groups_.find("params");
    if (params != groups_.end() && params->second->parsed())
      for (const BoundCommand& bound : commands_)
        if (bound.command->name == "params show") return &bound;
    return nullptr;
  }

  static void Collect(const std::vector<BoundOption>& options, Options& into) {
    for (const BoundOption& bound : options) {
      if (bound.option->count() == 0) continue;
      into.named[bound.name] = bound.isSwitch ? "1" : bound.option->as<std::string>();
    }
  }

  static void Fill(const BoundCommand& bound, Options& into) {
    std::string words = bound.command->name;
    for (size_t space; (space = words.find(' ')) != std::string::npos; words.erase(0, space + 1))
      into.words.push_back(words.substr(0, space));
    into.words.push_back(words);
    for (CLI::Option* argument : bound.arguments)
      if (argument->count() > 0) into.words.push_back(argument->as<std::string>());
    Collect(bound.options, into);
    into.json = into.Has("json");
  }

  // CLI11's message, or for words nobody expected, what they are: an
  // unknown option (named first, its value follows it), an unknown command,
  // an argument too many.
  std::string Explain(const CLI::ParseError& error) const {
    const std::string message = error.what();
    const size_t colon = message.find("expected: ");
    if (dynamic_cast<const CLI::ExtrasError*>(&error) == nullptr || colon == std::string::npos) return message;
    std::istringstream words(message.substr(colon + 10));
    std::vector<std::string> extra;
    for (std::string word; words >> word;) extra.push_back(word);
    if (extra.empty()) return message;
    for (const std::string& word : extra)
      if (word.size() > 1 && word[0] == '-') return "unknown option " + word;
    bool inCommand = false;
    for (const BoundCommand& bound : commands_) inCommand = inCommand || bound.app->parsed();
    if (!inCommand) return "unknown command " + extra.front() + "; '" + kTool + " --help' lists the commands";
    return "unexpected argument " + extra.front();
  }

  CLI::App app_;
  std::vector<BoundOption> common_;
  CLI::Option* version_ = nullptr;
  std::map<std::string, CLI::App*> groups_;
  std::vector<BoundCommand> commands_;
};

}  // namespace

std::vector<OptionSpec> CommonOptions() {
  return {
      {"--library", "NAME_OR_PATH",
       "the engine library (default: the platform's file name, found like a client finds it)"},
      {"--root", "DIR", "the installation root; the engine looks for its module in DIR/EXE"},
      {"--profile", "FILE", "the profile file (default $CRYPTLIB_PROFILE, else ./cryptlib.profile if it exists)"},
      {"--pin-source", "SOURCE", "the module's PIN source, given as parameter 8 after the profile"},
      {"--json", "", "print one JSON object on standard output"},
  };
}

OptionSpec ForceOption() {
  return {"--force", "", "replace an existing output file"};
}

OptionSpec PemOption() {
  return {"--pem", "", "write PEM (base64 between BEGIN and END lines) instead of DER"};
}

ParsedLine ParseCommandLine(const std::vector<Command>& commands, int argc, const char* const* argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments.front() == "help") {
    arguments.erase(arguments.begin());
    arguments.push_back("--help");
  }
  Parser parser(commands);
  return parser.Parse(arguments);
}

}  // namespace cryptlib::host
