// The commands that go through the control: csp-list, genreq, setcert.
#include <cstdio>
#include <optional>

#include "host/certificate_input.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/control_session.h"
#include "host/json_output.h"
#include "host/operation.h"
#include "platform/certstore.h"

namespace tarvenholm::host {
namespace {

constexpr LONG kDefaultKeySize = 2048;  // the control's own default is too weak to offer
constexpr LONG kInstalled = 2000;
constexpr LONG kNoMatchingKey = -1;  // no key record for the user's certificate

}  // namespace

void reportCallFailure(const std::string& member, const CallOutcome& outcome) {
  const std::string detail =
      (outcome.description.empty() ? "" : outcome.description + " ") + "(" + resultCode(outcome.result) + ")";
  reportFailure({"the control's " + member + " failed: " + detail, "falló " + member + " del control: " + detail});
}

std::optional<ControlClient> openControl(const Host& host) {
  platform::ComPtr<IDispatch> control;
  const HRESULT created = createControl(control, consoleReports(host.options.quiet));
  if (FAILED(created)) {
    if (!reportStateFailure())
      reportFailure({"cannot create the control (" + resultCode(created) + ")",
                     "no se pudo crear el control (" + resultCode(created) + ")"});
    return std::nullopt;
  }
  ControlClient client(std::move(control));
  const CallOutcome language = client.put("msgLng", Variant::number(hostLanguage() == Language::Spanish ? 1 : 0));
  if (language.failed()) {
    reportCallFailure("msgLng", language);
    return std::nullopt;
  }
  return client;
}

bool put(ControlClient& control, const std::string& property, Variant value) {
  const CallOutcome outcome = control.put(property, std::move(value));
  if (outcome.failed()) reportCallFailure(property, outcome);
  return !outcome.failed();
}

int runCspList(Host& host, const CommandLine& line) {
  Apartment apartment;
  std::optional<ControlClient> control = openControl(host);
  if (!control) return kExitFailure;
  Variant list;
  const CallOutcome outcome = control->call("getCSPList", {}, list);
  if (outcome.failed()) {
    reportCallFailure("getCSPList", outcome);
    return kExitFailure;
  }
  const std::string text = list.asText().value_or("");
  if (!line.has("--json")) {
    std::printf("%s\n", text.c_str());
    return kExitSuccess;
  }
  Json providers = Json::array();
  for (std::size_t start = 0, end; (end = text.find('|', start)) != std::string::npos; start = end + 1)
    providers.push_back({{"name", text.substr(start, end - start)}});
  printJson({{"providers", providers}});
  return kExitSuccess;
}

int runGenreq(Host& host, const CommandLine& line) {
  const std::string* names = line.option("--names");
  if (names == nullptr) throw UsageError("genreq needs --names TEXT", "genreq");
  LONG keySize = kDefaultKeySize;
  if (const std::string* size = line.option("--key-size")) {
    const std::optional<std::int32_t> parsed = parseInt32(*size);
    if (!parsed) throw UsageError("--key-size takes a decimal 32-bit integer, not '" + *size + "'", "genreq");
    keySize = *parsed;
  }

  Apartment apartment;
  std::optional<ControlClient> control = openControl(host);
  if (!control || !put(*control, "kSize", Variant::number(keySize))) return kExitFailure;
  if (const std::string* provider = line.option("--provider"))
    if (!put(*control, "provName", Variant::text(*provider))) return kExitFailure;

  std::vector<Variant> arguments;
  arguments.push_back(Variant::text(*names));
  Variant request;
  Operation operation;
  const CallOutcome outcome = control->call("genReq", std::move(arguments), request);
  // A failed request keeps what it wrote (its container), as the control's rules say.
  if (!operation.save()) return kExitFailure;
  if (outcome.failed()) {
    reportCallFailure("genReq", outcome);
    return kExitFailure;
  }
  // A failed request is an empty text or none; the control has said why.
  const std::optional<std::string> text = request.asText();
  if (outcome.result != S_OK || !text || text->empty()) return kExitFailure;
  std::printf("%s\n", text->c_str());
  return kExitSuccess;
}

int runSetcert(Host& host, const CommandLine& line) {
  const std::string source = line.operands.empty() ? "-" : line.operands.front();
  const std::optional<std::vector<unsigned char>> input = readInput(source);
  if (!input) return kExitFailure;
  const CertificateText certificates = certificateTextFor(*input);
  if (certificates.problem) {
    reportFailure(*certificates.problem);
    return kExitFailure;
  }

  Apartment apartment;
  std::optional<ControlClient> control = openControl(host);
  if (!control) return kExitFailure;
  std::vector<Variant> arguments;
  arguments.push_back(Variant::text(certificates.text));
  Variant code;
  Operation operation;
  const unsigned long placedBefore = platform::certs::systemStorePlacements();
  const CallOutcome outcome = control->call("setCert", std::move(arguments), code);
  const bool installedAny = platform::certs::systemStorePlacements() != placedBefore;
  if (!operation.save()) return kExitFailure;
  if (outcome.failed()) {
    reportCallFailure("setCert", outcome);
    return kExitFailure;
  }
  // S_FALSE: nothing to install; the control has said so.
  if (outcome.result != S_OK) return kExitFailure;
  const std::optional<LONG> result = code.asNumber();
  if (!result) {
    reportFailure({"the control's setCert gave no result code", "setCert del control no dio un código de resultado"});
    return kExitFailure;
  }
  std::printf("%d\n", static_cast<int>(*result));
  if (*result == kNoMatchingKey)
    reportFailure({"no key on this computer matches the certificate: install it where its request was made, or "
                   "import it with its key (store import)",
                   "ninguna llave de esta computadora corresponde al certificado: instálelo donde se hizo su "
                   "solicitud, o impórtelo con su llave (store import)"});
  // The control answers 2000 for a collection it found nothing to install in.
  if (*result == kInstalled && !installedAny) {
    reportFailure({"no certificate was installed", "no se instaló ningún certificado"});
    return kExitFailure;
  }
  return *result == kInstalled ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
