// tarvenholm: the command-line host of the Tarvenholm control.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "host/arguments.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/help.h"
#include "host/passwords.h"
#include "host/root_questions.h"
#include "platform/home.h"

using namespace tarvenholm::host;

namespace {

// The command named by the words at argv[next...]; `next` is left after them.
const CommandSpec& findCommand(const std::vector<std::string>& args, std::size_t& next) {
  const std::string& first = args[next];
  std::vector<const CommandSpec*> specs = commandsUnder({first});
  if (specs.empty()) throw UsageError("unknown command '" + first + "'");
  ++next;
  if (specs.size() == 1 && specs.front()->words.size() == 1) return *specs.front();

  std::string subcommands;
  for (const CommandSpec* spec : specs) subcommands += (subcommands.empty() ? "" : ", ") + spec->words[1];
  if (next == args.size() || args[next].empty() || args[next][0] == '-')
    throw UsageError("'" + first + "' needs one of: " + subcommands, first);
  const std::string& second = args[next];
  specs = commandsUnder({first, second});
  if (specs.empty()) throw UsageError("unknown command '" + first + " " + second + "'", first);
  ++next;
  return *specs.front();
}

void checkOperands(const CommandSpec& spec, const CommandLine& line) {
  const std::string name = line.name();
  if (line.operands.size() > spec.maxOperands)
    throw UsageError("unexpected argument '" + line.operands[spec.maxOperands] + "' for " + name, name);
  if (line.operands.size() < spec.minOperands) throw UsageError("missing operand: " + std::string(spec.synopsis), name);
}

int run(int argc, char** argv) {
  requireUtf8Arguments(argc, argv);
  int commandIndex = 0;
  const GlobalOptions options = parseGlobalOptions(argc, argv, commandIndex);
  if (options.help) {
    printGeneralHelp(stdout);
    return kExitSuccess;
  }
  if (options.version) {
    printVersion(stdout);
    return kExitSuccess;
  }
  const std::vector<std::string> args(argv + commandIndex, argv + argc);
  if (args.empty()) throw UsageError("no command given");
  if (args.front() == "help") {
    const std::vector<std::string> topic(args.begin() + 1, args.end());
    if (topic.empty()) {
      printGeneralHelp(stdout);
      return kExitSuccess;
    }
    if (!printCommandHelp(stdout, topic)) throw UsageError("no help for '" + topic.front() + "': unknown command");
    return kExitSuccess;
  }
  std::size_t next = 0;
  if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h") && printCommandHelp(stdout, {args[0]}))
    return kExitSuccess;
  const CommandSpec& spec = findCommand(args, next);
  const CommandLine line = parseCommandArguments(
      spec.words, std::vector<std::string>(args.begin() + static_cast<long>(next), args.end()), spec.options);
  if (line.help) {
    printCommandHelp(stdout, spec.words);
    return kExitSuccess;
  }
  checkOperands(spec, line);

  if (options.home) platform::setHomeOverride(*options.home);
  setHostLanguage(options.language.value_or(localeLanguage()));
  showMessageBoxesOnStandardError(options.quiet);
  Passwords passwords(!options.batch, options.passwordFile);
  passwords.answerKeyQuestions();
  const RootQuestions roots(options.trustNewRoots, !options.batch);
  Host host{options, passwords};
  const int status = spec.run(host, line);
  // Whatever the control made of it, name the file that made it fail.
  if (status != kExitSuccess) reportStateFailure();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int status = kExitFailure;
  try {
    status = run(argc, argv);
  } catch (const UsageError& error) {
    printUsageError(error);
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvenholm: %s\n", error.what());
    return kExitFailure;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tarvenholm: cannot write to standard output\n");
    return kExitFailure;
  }
  return status;
}
