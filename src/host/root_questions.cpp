#include "host/root_questions.h"

#include "host/console.h"
#include "host/terminal.h"
#include "platform/application.h"

namespace tarvenholm::host {
namespace {

bool isYes(const std::string& answer) {
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "s" || answer == "S" || answer == "si" ||
         answer == "sí";
}

bool askOnTerminal(Terminal& terminal, const platform::RootCertificateQuestion& root) {
  const bool spanish = hostLanguage() == Language::Spanish;
  terminal.say(spanish ? "Se va a confiar en un nuevo certificado raíz para todas sus conexiones seguras:"
                       : "A new root certificate is to be trusted for all your secure connections:");
  terminal.say(std::string(spanish ? "  sujeto:   " : "  subject:  ") + root.subject);
  terminal.say(std::string(spanish ? "  emisor:   " : "  issuer:   ") + root.issuer);
  terminal.say(std::string(spanish ? "  válido:   " : "  valid:    ") + root.notBefore +
               (spanish ? " a " : " to ") + root.notAfter);
  terminal.say("  SHA-1:    " + root.sha1);
  terminal.say("  SHA-256:  " + root.sha256);
  std::string answer;
  return terminal.ask(spanish ? "¿Confiar en él? [s/N] " : "Trust it? [y/N] ", answer) && isYes(answer);
}

}  // namespace

RootQuestions::RootQuestions(bool trustNewRoots, bool terminalAllowed) : trustNewRoots_(trustNewRoots) {
  if (!trustNewRoots_ && terminalAllowed) terminal_ = Terminal::open();
  platform::setRootTrustSink([this](const platform::RootCertificateQuestion& root) {
    if (trustNewRoots_) return true;
    if (terminal_) return askOnTerminal(*terminal_, root);
    reportFailure({"refused to trust the new root " + root.subject + " (SHA-1 " + root.sha1 +
                       "): give --trust-new-roots to trust it without being asked",
                   "no se confió en la nueva raíz " + root.subject + " (SHA-1 " + root.sha1 +
                       "): use --trust-new-roots para confiar en ella sin que se pregunte"});
    return false;
  });
}

RootQuestions::~RootQuestions() { platform::setRootTrustSink(nullptr); }

}  // namespace tarvenholm::host
