// The host's commands: their words, options, operands, help and handlers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/arguments.h"

namespace tarvenholm::host {

class Passwords;

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// What every command runs with.
struct Host {
  const GlobalOptions& options;
  Passwords& passwords;
};

struct CommandSpec {
  std::vector<std::string> words;  // {"store", "list"}
  std::vector<OptionSpec> options;
  std::size_t minOperands;
  std::size_t maxOperands;
  const char* synopsis;     // what follows "tarvenholm [OPTION]..."
  const char* summary;      // one line for the list of commands
  const char* description;  // the body of the command's help
  int (*run)(Host& host, const CommandLine& line);
};

const std::vector<CommandSpec>& commandSpecs();
// bridge install|status|sites|revoke (bridge_commands.cpp).
const std::vector<CommandSpec>& bridgeCommandSpecs();

// The commands whose words begin with `words` (all of them when empty).
std::vector<const CommandSpec*> commandsUnder(const std::vector<std::string>& words);

int runCspList(Host& host, const CommandLine& line);
int runGenreq(Host& host, const CommandLine& line);
int runRequest(Host& host, const CommandLine& line);
int runSetcert(Host& host, const CommandLine& line);
int runStoreList(Host& host, const CommandLine& line);
int runStoreExport(Host& host, const CommandLine& line);
int runStoreDelete(Host& host, const CommandLine& line);
int runStoreImport(Host& host, const CommandLine& line);
int runKeysList(Host& host, const CommandLine& line);
int runKeysDelete(Host& host, const CommandLine& line);
int runRegister(Host& host, const CommandLine& line);
int runUnregister(Host& host, const CommandLine& line);
int runNssdbAdd(Host& host, const CommandLine& line);

}  // namespace tarvenholm::host
