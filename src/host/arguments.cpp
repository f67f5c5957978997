#include "host/arguments.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tarvenholm::host {
namespace {

bool isHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// Splits "--name=value" into its name and value.
bool splitInline(const std::string& arg, std::string& name, std::string& value) {
  const std::size_t equals = arg.find('=');
  if (arg.rfind("--", 0) != 0 || equals == std::string::npos) return false;
  name = arg.substr(0, equals);
  value = arg.substr(equals + 1);
  return true;
}

// The value of an option that takes one: inline after "=", else the next argument.
std::string takeValue(const std::string& name, const std::string* inlineValue, const std::vector<std::string>& args,
                      std::size_t& index, const std::string& topic) {
  if (inlineValue != nullptr) return *inlineValue;
  if (index + 1 >= args.size()) throw UsageError("option '" + name + "' needs a value", topic);
  return args[++index];
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text) {
  static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t following = 0;
    std::uint32_t point = lead;
    if (lead >= 0xF0 && lead < 0xF8) {
      following = 3;
      point = lead & 0x07;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      following = 2;
      point = lead & 0x0F;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      following = 1;
      point = lead & 0x1F;
    } else if (lead >= 0x80) {
      return false;
    }
    if (text.size() - at <= following) return false;
    for (std::size_t index = 1; index <= following; ++index) {
      const auto next = static_cast<unsigned char>(text[at + index]);
      if ((next & 0xC0) != 0x80) return false;
      point = point << 6 | (next & 0x3F);
    }
    if (point < kSmallest[following] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    at += following + 1;
  }
  return true;
}

}  // namespace

void requireUtf8Arguments(int argc, char** argv) {
  // What is passed on must be what was typed: no silent replacement characters.
  for (int index = 1; index < argc; ++index)
    if (!isUtf8(argv[index]))
      throw UsageError("argument " + std::to_string(index) + " is not valid UTF-8 text");
}

const std::string* CommandLine::option(const std::string& name) const {
  auto found = options.find(name);
  return found == options.end() ? nullptr : &found->second;
}

std::string CommandLine::name() const {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

GlobalOptions parseGlobalOptions(int argc, char** argv, int& next) {
  std::vector<std::string> args(argv + 1, argv + argc);
  GlobalOptions options;
  std::size_t index = 0;
  for (; index < args.size(); ++index) {
    const std::string& arg = args[index];
    if (arg == "--") {
      ++index;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    std::string name = arg;
    std::string inlineText;
    const bool hasInline = splitInline(arg, name, inlineText);
    const std::string* inlineValue = hasInline ? &inlineText : nullptr;
    auto flag = [&](bool& target) {
      if (hasInline) throw UsageError("option '" + name + "' takes no value");
      target = true;
    };
    if (isHelp(name)) {
      flag(options.help);
    } else if (name == "--version") {
      flag(options.version);
    } else if (name == "--quiet" || name == "-q") {
      flag(options.quiet);
    } else if (name == "--batch") {
      flag(options.batch);
    } else if (name == "--trust-new-roots") {
      flag(options.trustNewRoots);
    } else if (name == "--home") {
      std::string home = takeValue(name, inlineValue, args, index, {});
      if (home.empty()) throw UsageError("option '--home' needs a directory");
      options.home = std::move(home);
    } else if (name == "--lang") {
      const std::string language = takeValue(name, inlineValue, args, index, {});
      if (language == "en")
        options.language = Language::English;
      else if (language == "es")
        options.language = Language::Spanish;
      else
        throw UsageError("option '--lang' takes en or es, not '" + language + "'");
    } else if (name == "--password-file") {
      std::string file = takeValue(name, inlineValue, args, index, {});
      if (file.empty()) throw UsageError("option '--password-file' needs a file");
      options.passwordFile = std::move(file);
    } else {
      throw UsageError("unknown option '" + name + "'");
    }
  }
  next = static_cast<int>(index) + 1;
  return options;
}

CommandLine parseCommandArguments(std::vector<std::string> words, const std::vector<std::string>& args,
                                  const std::vector<OptionSpec>& specs) {
  CommandLine line;
  line.words = std::move(words);
  const std::string topic = line.name();
  bool optionsEnded = false;
  for (std::size_t index = 0; index < args.size(); ++index) {
    const std::string& arg = args[index];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (isHelp(arg)) {
      line.help = true;
      return line;
    }
    std::string name = arg;
    std::string inlineText;
    const bool hasInline = splitInline(arg, name, inlineText);
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& candidate : specs)
      if (name == candidate.name) spec = &candidate;
    if (spec == nullptr) throw UsageError("unknown option '" + name + "' for " + topic, topic);
    if (!spec->takesValue) {
      if (hasInline) throw UsageError("option '" + name + "' takes no value", topic);
      line.options[name];
      continue;
    }
    line.options[name] = takeValue(name, hasInline ? &inlineText : nullptr, args, index, topic);
    line.repeated[name].push_back(line.options[name]);
  }
  return line;
}

Language localeLanguage() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0') continue;
    return std::strncmp(value, "es", 2) == 0 ? Language::Spanish : Language::English;
  }
  return Language::English;
}

std::optional<std::int32_t> parseInt32(const std::string& text) {
  const bool signed_ = !text.empty() && (text[0] == '+' || text[0] == '-');
  const std::size_t firstDigit = signed_ ? 1 : 0;
  if (firstDigit == text.size()) return std::nullopt;
  for (std::size_t index = firstDigit; index < text.size(); ++index)
    if (text[index] < '0' || text[index] > '9') return std::nullopt;
  // from_chars reads a minus sign but not a plus sign.
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  std::int32_t value = 0;
  const auto [stop, error] = std::from_chars(begin, end, value, 10);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace tarvenholm::host
