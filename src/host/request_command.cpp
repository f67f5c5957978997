// request: a modern certification request through the control's
// ITarvenholmX2 members, called by name like every other command.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "host/commands.h"
#include "host/console.h"
#include "host/control_session.h"
#include "host/operation.h"

namespace tarvenholm::host {
namespace {

enum class Format { Pem, Der, Base64 };

// One line naming the fault; the request is not attempted.
int refuse(const std::string& problem) {
  reportFailure({"request: " + problem, "request: " + problem});
  return kExitUsage;
}

std::optional<Format> formatOf(const std::string& name) {
  if (name == "pem") return Format::Pem;
  if (name == "der") return Format::Der;
  if (name == "base64") return Format::Base64;
  return std::nullopt;
}

std::optional<std::string> readSecretFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The control's one line of base64 (padded, no breaks) as bytes.
std::string decoded(const std::string& base64) {
  std::string der(base64.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                     reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
  const std::size_t padding = base64.size() - std::min(base64.size(), base64.find_last_not_of('=') + 1);
  der.resize(length < 0 ? 0 : static_cast<std::size_t>(length) - padding);
  return der;
}

std::string pemOf(const std::string& base64) {
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) pem += base64.substr(at, 64) + "\n";
  return pem + "-----END CERTIFICATE REQUEST-----\n";
}

std::string rendered(const std::string& base64, Format format) {
  switch (format) {
    case Format::Der:
      return decoded(base64);
    case Format::Base64:
      return base64 + "\n";
    case Format::Pem:
      break;
  }
  return pemOf(base64);
}

bool writeOut(const std::string& target, const std::string& bytes) {
  if (target == "-") return writeStandardOutput(bytes.data(), bytes.size());
  std::ofstream file(target, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) reportFailure({"cannot write " + target, "no se pudo escribir " + target});
  return static_cast<bool>(file);
}

// The text properties of ITarvenholmX2 that options map onto, one to one.
struct TextOption {
  const char* option;
  const char* property;
};

constexpr TextOption kTextOptions[] = {
    {"--key", "keyAlgorithm"}, {"--hash", "hashAlgorithm"}, {"--key-usage", "keyUsage"},
    {"--eku", "extKeyUsage"},  {"--renew", "renewContainer"},
};

}  // namespace

int runRequest(Host& host, const CommandLine& line) {
  const std::string* subject = line.option("--subject");
  if (subject == nullptr) return refuse("--subject TEXT is missing");
  if (line.has("--renew") && line.has("--key"))
    return refuse("--key and --renew do not go together: a renewal keeps the container's key");
  const std::optional<Format> format = formatOf(line.has("--format") ? *line.option("--format") : "pem");
  if (!format) return refuse("--format takes pem, der or base64, not '" + *line.option("--format") + "'");
  const std::string target = line.has("--out") ? *line.option("--out") : "-";
  struct stat existing {};
  if (target != "-" && !line.has("--force") && ::stat(target.c_str(), &existing) == 0)
    return refuse("'" + target + "' exists; pass --force to replace it");
  std::string challenge;
  if (const std::string* file = line.option("--challenge-password-file")) {
    const std::optional<std::string> read = readSecretFile(*file);
    if (!read) return refuse("cannot read the challenge password file '" + *file + "'");
    challenge = *read;
  }
  std::string altNames;
  if (line.repeated.count("--san") != 0)
    for (const std::string& entry : line.repeated.at("--san")) altNames += entry + "\n";

  Apartment apartment;
  std::optional<ControlClient> control = openControl(host);
  if (!control) return kExitFailure;
  Operation operation;
  for (const TextOption& text : kTextOptions)
    if (const std::string* value = line.option(text.option))
      if (!put(*control, text.property, Variant::text(*value))) return kExitFailure;
  if (!put(*control, "usePss", Variant::number(line.has("--pss") ? 1 : 0)) ||
      !put(*control, "singleRdn", Variant::number(line.has("--single-rdn") ? 1 : 0)) ||
      !put(*control, "subjectAltNames", Variant::text(altNames)) ||
      !put(*control, "challengePassword", Variant::text(challenge)))
    return kExitFailure;

  std::vector<Variant> arguments;
  arguments.push_back(Variant::text(*subject));
  Variant request;
  const CallOutcome outcome = control->call("createRequest", std::move(arguments), request);
  if (outcome.result == E_INVALIDARG) return refuse(outcome.description);
  if (outcome.failed()) {
    reportCallFailure("createRequest", outcome);
    return kExitFailure;
  }
  const std::optional<std::string> base64 = request.asText();
  if (!base64 || base64->empty()) {
    reportFailure({"the control's createRequest gave no request", "createRequest del control no dio una solicitud"});
    return kExitFailure;
  }
  if (!operation.save()) return kExitFailure;
  if (!host.options.quiet) {
    Variant container;
    Variant provider;
    if (!control->get("requestContainer", container).failed() && !control->get("requestProvider", provider).failed())
      reportNotice({"the key is in container " + container.asText().value_or("") + " of " + provider.asText().value_or(""),
                    "la llave está en el contenedor " + container.asText().value_or("") + " de " +
                        provider.asText().value_or("")});
  }
  return writeOut(target, rendered(*base64, *format)) ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
