// The command line: global options before the command, then the command's
// own words, options and operands.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvenholm::host {

// A command line that cannot be run as written. `topic` names the help
// that explains it: empty for the global help, else a command's name.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& problem, std::string topic = {})
      : std::runtime_error(problem), topic_(std::move(topic)) {}
  const std::string& topic() const { return topic_; }

 private:
  std::string topic_;
};

enum class Language { English, Spanish };

struct GlobalOptions {
  std::optional<std::string> home;
  std::optional<Language> language;
  bool quiet = false;
  bool batch = false;  // never ask on the terminal
  bool trustNewRoots = false;  // add new roots to ROOT without asking
  std::optional<std::string> passwordFile;
  bool help = false;
  bool version = false;
};

// What follows the global options: the command's words ("genreq",
// "store list"), its options by name and its operands in order.
struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;  // the last value of each option
  std::map<std::string, std::vector<std::string>> repeated;  // every value of each option, in order
  std::vector<std::string> operands;
  bool help = false;

  bool has(const std::string& option) const { return options.count(option) != 0; }
  const std::string* option(const std::string& name) const;
  std::string name() const;
};

struct OptionSpec {
  const char* name;  // with its dashes: "--names"
  bool takesValue;
};

// Throws UsageError when an argument is not valid UTF-8.
void requireUtf8Arguments(int argc, char** argv);

// Reads the global options from argv[1] on; `next` is left at the first
// argument after them (the command), or argc when there is none.
GlobalOptions parseGlobalOptions(int argc, char** argv, int& next);

// Reads a command's options and operands from `args`: "--name VALUE",
// "--name=VALUE", "--" ending the options, "-" an operand. --help (or -h)
// anywhere before "--" sets `help` and stops the reading.
CommandLine parseCommandArguments(std::vector<std::string> words, const std::vector<std::string>& args,
                                  const std::vector<OptionSpec>& specs);

// The language the locale asks for: LC_ALL, else LC_MESSAGES, else LANG
// (the first one set and not empty); Spanish when it begins with "es".
Language localeLanguage();

// A decimal 32-bit signed integer written in full ("-5", "+2048", "1024");
// nothing for anything else.
std::optional<std::int32_t> parseInt32(const std::string& text);

}  // namespace tarvenholm::host
