#include "host/help.h"

#include "host/commands.h"

namespace tarvenholm::host {
namespace {

constexpr const char* kOptionsText =
    "Options (before COMMAND):\n"
    "      --home DIR            keep the user's keys, records and certificates in\n"
    "                            DIR (default: $TARVENHOLM_HOME, else\n"
    "                            $XDG_DATA_HOME/tarvenholm, else\n"
    "                            ~/.local/share/tarvenholm)\n"
    "      --lang en|es          the language of the messages (default: from LC_ALL,\n"
    "                            LC_MESSAGES or LANG: Spanish when it begins with\n"
    "                            \"es\", else English)\n"
    "  -q, --quiet               do not show information lines; errors are always\n"
    "                            shown\n"
    "      --password-file FILE  take passwords from the first line of FILE\n"
    "      --batch               never ask for a password on the terminal\n"
    "      --trust-new-roots     add new root certificates to ROOT without asking\n"
    "  -h, --help                show this help and exit\n"
    "      --version             show the version and exit\n";

constexpr const char* kClosingText =
    "\n"
    "The control's messages appear on standard error, one line each:\n"
    "\"Tarvenholm [error] TEXT\" or \"Tarvenholm [info] TEXT\".\n"
    "\n"
    "Passwords of user-protected keys are asked on the terminal; without one they\n"
    "come from --password-file, else from $TARVENHOLM_KEY_PASSWORD, else the key\n"
    "gets no password.\n"
    "\n"
    "Before a new root certificate joins ROOT its details are shown on the terminal\n"
    "and it is added only when the user says yes; with --batch or without a\n"
    "terminal it is refused unless --trust-new-roots is given.\n"
    "\n"
    "Exit status: 0 when the command succeeded, 1 when it failed, 2 for a usage\n"
    "error.\n";

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

}  // namespace

void printGeneralHelp(std::FILE* out) {
  std::fputs(
      "Usage: tarvenholm [OPTION]... COMMAND [ARG]...\n"
      "Make key pairs and certificate requests with the Tarvenholm control, install\n"
      "the certificates an authority issues for them, and look at the user's\n"
      "certificate stores and key containers.\n"
      "\n",
      out);
  std::fputs(kOptionsText, out);
  std::fputs("\nCommands:\n", out);
  for (const CommandSpec& spec : commandSpecs())
    std::fprintf(out, "  %-26s%s\n", joined(spec.words).c_str(), spec.summary);
  std::fprintf(out, "  %-26s%s\n", "help [COMMAND]", "show the help of a command");
  std::fputs("\nRun 'tarvenholm COMMAND --help' for the options and output of a command.\n", out);
  std::fputs(kClosingText, out);
}

bool printCommandHelp(std::FILE* out, const std::vector<std::string>& words) {
  const std::vector<const CommandSpec*> specs = commandsUnder(words);
  if (words.empty() || specs.empty()) return false;
  for (std::size_t index = 0; index < specs.size(); ++index) {
    if (index > 0) std::fputs("\n", out);
    std::fprintf(out, "Usage: tarvenholm [OPTION]... %s\n", specs[index]->synopsis);
    std::fputs(specs[index]->description, out);
  }
  std::fputs("\nRun 'tarvenholm --help' for the options that come before the command.\n", out);
  return true;
}

void printVersion(std::FILE* out) { std::fputs("tarvenholm " TARVENHOLM_VERSION "\n", out); }

void printUsageError(const UsageError& error) {
  std::fprintf(stderr, "tarvenholm: %s\n", error.what());
  const std::string topic = error.topic().empty() ? "" : error.topic() + " ";
  std::fprintf(stderr, "Try 'tarvenholm %s--help' for more information.\n", topic.c_str());
}

}  // namespace tarvenholm::host
