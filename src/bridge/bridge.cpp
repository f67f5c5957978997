#include "bridge/bridge.h"

#include <openssl/crypto.h>

#include <limits>
#include <optional>

#include "hosting/control_factory.h"
#include "hosting/sites.h"
#include "platform/application.h"
#include "platform/objidl.h"
#include "platform/lasterror.h"
#include "platform/objsafe.h"
#include "platform/registry_transaction.h"

namespace tarvenholm::bridge {
namespace {

using hosting::CallOutcome;
using Texts = hosting::Message;
using hosting::SiteDecision;
using hosting::Variant;

// A 32-bit number, when the JSON value is an integer that fits.
std::optional<LONG> longOf(const Json& value) {
  if (value.is_number_unsigned())
    return value.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<LONG>::max())
               ? std::optional<LONG>(static_cast<LONG>(value.get<std::uint64_t>()))
               : std::nullopt;
  if (!value.is_number_integer()) return std::nullopt;
  const std::int64_t number = value.get<std::int64_t>();
  if (number < std::numeric_limits<LONG>::min() || number > std::numeric_limits<LONG>::max()) return std::nullopt;
  return static_cast<LONG>(number);
}

}  // namespace

struct Bridge::Method {
  const char* name;
  std::size_t textParameters;  // every parameter of these members is a text
  Action action;
  bool numberResult;           // else a text
  bool propertyGet = false;    // a property read, not a call
};

// The members a page may call or read; properties are put by name.
const std::vector<Bridge::Method>& Bridge::methods() {
  static const std::vector<Method> members = {
      {"getCSPList", 0, Action::None, false},
      {"genReq", 1, Action::MakeKey, false},
      {"setCert", 1, Action::Install, true},
      {"createRequest", 1, Action::MakeKey, false},
      {"requestContainer", 0, Action::None, false, true},
      {"requestProvider", 0, Action::None, false, true},
  };
  return members;
}

bool controlIsSafeForPages(IDispatch* control) {
  platform::ComPtr<IObjectSafety> safety;
  if (FAILED(control->QueryInterface(IID_IObjectSafety, safety.putVoid()))) return false;
  constexpr DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  constexpr DWORD data = INTERFACESAFE_FOR_UNTRUSTED_DATA;
  return SUCCEEDED(safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, caller)) &&
         SUCCEEDED(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, data, data));
}

Bridge::Bridge(hosting::ControlClient control, Pinentry pinentry)
    : control_(std::move(control)), pinentry_(std::move(pinentry)) {
  platform::setMessageBoxSink([this](const char* text, const char*, UINT flags) {
    messages_.push_back({(flags & MB_ICONERROR) == MB_ICONERROR, text == nullptr ? "" : text});
    return IDOK;
  });
  platform::setPasswordSink([this](platform::PasswordPurpose purpose, const char* container, std::string& password) {
    return askPassword(purpose, container, password);
  });
  // A page's permission to install certificates does not cover trusting a
  // new root: the user is asked for each one.
  platform::setRootTrustSink([this](const platform::RootCertificateQuestion& root) { return trustRoot(root); });
}

Bridge::~Bridge() {
  platform::setMessageBoxSink({});
  platform::setPasswordSink({});
  platform::setRootTrustSink({});
}

std::string Bridge::serve(std::string_view body) {
  messages_.clear();
  std::variant<Request, RequestProblem> parsed = parseRequest(body);
  if (const auto* problem = std::get_if<RequestProblem>(&parsed)) return reply(problem->id, nullptr, problem->problem);
  return call(std::get<Request>(parsed));
}

std::string Bridge::call(const Request& request) {
  const Method* method = nullptr;
  for (const Method& candidate : methods())
    if (request.method == candidate.name) method = &candidate;
  if (method == nullptr) return reply(request.id, nullptr, "unknown method \"" + request.method + "\"");

  const std::optional<std::string> origin = hosting::secureOrigin(request.origin);
  if (!origin)
    return reply(request.id, nullptr,
                 "the page's origin \"" + request.origin + "\" is not secure: only https pages and pages on this "
                 "machine (http://localhost, 127.0.0.1, [::1]) may use Tarvenholm");

  std::vector<Variant> arguments;
  if (request.params.size() != method->textParameters)
    return reply(request.id, nullptr,
                 request.method + " takes " + std::to_string(method->textParameters) + " parameter(s)");
  for (const Json& parameter : request.params) {
    if (!parameter.is_string()) return reply(request.id, nullptr, request.method + " takes text parameters");
    arguments.push_back(Variant::text(parameter.get<std::string>()));
  }

  std::vector<std::pair<std::string, Variant>> properties;
  for (const auto& [name, value] : request.properties) {
    if (const std::optional<LONG> number = longOf(value))
      properties.emplace_back(name, Variant::number(*number));
    else if (value.is_boolean())  // the control's VARIANT_BOOL: true is -1
      properties.emplace_back(name, Variant::number(value.get<bool>() ? -1 : 0));
    else if (value.is_string())
      properties.emplace_back(name, Variant::text(value.get<std::string>()));
    else
      return reply(request.id, nullptr, "property \"" + name + "\" takes a 32-bit integer, a boolean or a text");
  }

  for (auto& [name, value] : properties) {
    const std::optional<LONG> number = value.asNumber();
    const CallOutcome outcome = control_.put(name, std::move(value));
    if (outcome.failed())
      return reply(request.id, nullptr,
                   "the control refused property \"" + name + "\": " + outcome.description + " (" +
                       hosting::resultCode(outcome.result) + ")");
    if (name == "msgLng" && number) language_ = *number;
  }

  // After the puts, so that the user is asked in the page's language.
  std::string refusal;
  if (!mayAct(*origin, method->action, refusal)) return reply(request.id, nullptr, refusal);

  callingOrigin_ = *origin;
  Variant result;
  // One call is one registry transaction, saved before the page is told
  // anything that a crash could still take back.
  platform::RegistryTransaction transaction;
  const CallOutcome outcome = method->propertyGet ? control_.get(method->name, result)
                                                  : control_.call(method->name, std::move(arguments), result);
  const LSTATUS saved = transaction.commit();
  callingOrigin_.clear();
  forgetNewKeyPassword();
  if (saved != ERROR_SUCCESS)
    return reply(request.id, nullptr, "the changes could not be saved (error " + std::to_string(saved) + ")");
  if (outcome.failed())
    return reply(request.id, nullptr,
                 "the control's " + request.method + " failed: " + outcome.description + " (" +
                     hosting::resultCode(outcome.result) + ")");
  // S_FALSE: the control was given nothing to work on and answers nothing.
  if (outcome.result != S_OK) return reply(request.id, nullptr);
  if (method->numberResult) {
    const std::optional<LONG> number = result.asNumber();
    return reply(request.id, number ? Json(*number) : Json(nullptr));
  }
  const std::optional<std::string> text = result.asText();
  return reply(request.id, text ? Json(*text) : Json(nullptr));
}

bool Bridge::mayAct(const std::string& origin, Action action, std::string& refusal) {
  if (action == Action::None) return true;
  if (const std::optional<SiteDecision> policy = hosting::machineSitePolicy(origin)) {
    if (*policy == SiteDecision::Allow) return true;
    refusal = "the administrator's policy forbids " + origin + " to use Tarvenholm";
    return false;
  }
  if (const std::optional<SiteDecision> decision = hosting::userSiteDecision(origin)) {
    if (*decision == SiteDecision::Allow) return true;
    refusal = "the user has denied " + origin + " the use of Tarvenholm";
    return false;
  }
  if (allowedForSession_.count(origin) != 0) return true;

  const bool makeKey = action == Action::MakeKey;
  const Texts what = makeKey ? Texts{"make a new key pair and a certificate request in your key store",
                                         "crear un nuevo par de claves y una solicitud de certificado en su almacén"}
                               : Texts{"install certificates in your certificate stores",
                                         "instalar certificados en sus almacenes de certificados"};
  const Question question{
      "Tarvenholm",
      spanish() ? "La página " + origin + " quiere " + what.spanish + ". ¿Lo permite?"
                : "The page " + origin + " wants to " + what.english + ". Do you allow it?",
      spanish() ? "Permitir esta vez" : "Allow once",
      spanish() ? "Permitir siempre" : "Always allow",
      spanish() ? "Denegar" : "Deny"};
  const std::optional<Choice> choice = pinentry_.confirm(question);
  if (choice == Choice::Ok) {
    allowedForSession_.insert(origin);
    return true;
  }
  if (choice == Choice::NotOk) {
    if (!hosting::rememberSiteDecision(origin, SiteDecision::Allow)) allowedForSession_.insert(origin);
    return true;
  }
  if (choice == Choice::Cancel) {
    hosting::rememberSiteDecision(origin, SiteDecision::Deny);
    refusal = "the user denied " + origin + " the use of Tarvenholm";
    return false;
  }
  refusal = "the user could not be asked whether " + origin + " may use Tarvenholm (pinentry \"" +
            Pinentry::configuredProgram() + "\" failed)";
  return false;
}

bool Bridge::trustRoot(const platform::RootCertificateQuestion& root) {
  const Question question{
      "Tarvenholm",
      spanish() ? "La página " + callingOrigin_ + " quiere agregar una autoridad raíz en la que usted confiaría:\n" +
                      root.subject + "\nHuella SHA-256: " + root.sha256 + "\n¿Confía en esta autoridad raíz?"
                : "The page " + callingOrigin_ + " wants to add a root authority that you would trust:\n" +
                      root.subject + "\nSHA-256 fingerprint: " + root.sha256 + "\nDo you trust this root authority?",
      spanish() ? "Confiar" : "Trust", "", spanish() ? "No confiar" : "Do not trust"};
  return pinentry_.confirm(question) == Choice::Ok;
}

bool Bridge::askPassword(platform::PasswordPurpose purpose, const char* container, std::string& password) {
  const std::string key = container == nullptr ? "" : container;
  const bool newKey = purpose == platform::PasswordPurpose::NewKey;
  // The request is signed with the key just made: not asked twice.
  if (newKey) newKeyPassword_.first.clear();
  if (!newKey && key == newKeyPassword_.first && !key.empty()) {
    password = newKeyPassword_.second.text();
    return true;
  }
  const Question question{
      "Tarvenholm",
      newKey ? (spanish() ? "La página " + callingOrigin_ + " crea la clave " + key +
                                ". Escriba una contraseña para protegerla, o cancele para guardarla sin contraseña."
                          : "The page " + callingOrigin_ + " makes the key " + key +
                                ". Give a password to protect it, or cancel to keep it without one.")
             : (spanish() ? "Escriba la contraseña de la clave " + key + "."
                          : "Enter the password of the key " + key + "."),
      "OK", "", spanish() ? "Cancelar" : "Cancel"};
  const bool given = pinentry_.getPin(question, spanish() ? "Contraseña:" : "Password:", password);
  if (newKey && given && !password.empty()) {
    newKeyPassword_.first = key;
    newKeyPassword_.second.text() = password;
  }
  return given;
}

void Bridge::forgetNewKeyPassword() {
  newKeyPassword_.first.clear();
  OPENSSL_cleanse(newKeyPassword_.second.text().data(), newKeyPassword_.second.text().size());
  newKeyPassword_.second.text().clear();
}

std::string Bridge::reply(const Json& id, const Json& result, const std::string& error) {
  return replyText(id, result, messages_, error);
}

}  // namespace tarvenholm::bridge
