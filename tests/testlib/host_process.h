// Runs the `tarvenholm` command of the build as a separate process, the way
// a user or a script runs it, and captures what it writes and its status.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct HostRun {
  int status = -1;  // exit status; 128 + the signal when a signal ended it
  std::string out;  // standard output
  std::string err;  // standard error
};

struct HostEnvironment {
  std::string input;  // standard input
  // Variables set for the run. By default the run has LANG=C and neither
  // LC_ALL, LC_MESSAGES nor TARVENHOLM_KEY_PASSWORD; an empty value unsets.
  std::vector<std::pair<std::string, std::string>> variables;
};

// build/tarvenholm
std::string hostBinary();

// The environment of a run: the test's, with LANG=C and neither LC_ALL,
// LC_MESSAGES, LANGUAGE nor TARVENHOLM_KEY_PASSWORD, then `changes` (an
// empty value unsets).
std::map<std::string, std::string> hostEnvironment(const std::vector<std::pair<std::string, std::string>>& changes);

// Runs the command with `args` in a new session, so it has no controlling
// terminal: passwords can then only come from files and the environment.
// TARVENHOLM_HOME and the fault switch variable pass through from the test.
HostRun runHost(const std::vector<std::string>& args, const HostEnvironment& environment = {});
// The same for another program of the build (build/tarvenholm-bridge).
HostRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                   const HostEnvironment& environment);

// A question the command asks on its terminal, and what the user types
// once the question has appeared.
struct TerminalExchange {
  std::string prompt;
  std::string answer;
};

struct TerminalRun : HostRun {
  std::string terminal;  // everything the command wrote on the terminal
};

// Runs the command with a new pseudo-terminal as its controlling terminal
// (/dev/tty); standard input, output and error stay pipes. The answers are
// typed in order, each after its prompt has appeared.
TerminalRun runHostOnTerminal(const std::vector<std::string>& args, const std::vector<TerminalExchange>& exchanges,
                              const HostEnvironment& environment = {});

// The lines of a text, without their line breaks.
std::vector<std::string> linesOf(const std::string& text);
// A line split at its tabs.
std::vector<std::string> fieldsOf(const std::string& line);

}  // namespace testing_support
