#include "host/passwords.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "host/arguments.h"
#include "host/console.h"
#include "host/terminal.h"

namespace tarvenholm::host {
namespace {

void wipe(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

std::string inLanguage(const std::string& english, const std::string& spanish) {
  return inHostLanguage(Message{english, spanish});
}

// The first line of the file, without its line break.
std::string readPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the password file '" + path + "': " + systemErrorText(errno));
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw UsageError("cannot read the password file '" + path + "'");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

Passwords::Passwords(bool terminalAllowed, const std::optional<std::string>& passwordFile) {
  if (terminalAllowed) terminal_ = Terminal::open();
  if (passwordFile) filePassword_ = readPasswordFile(*passwordFile);
  if (const char* fromEnvironment = std::getenv("TARVENHOLM_KEY_PASSWORD"))
    environmentPassword_ = std::string(fromEnvironment);
}

Passwords::~Passwords() {
  if (answering_) platform::setPasswordSink(nullptr);
  for (auto& [container, password] : newKeys_) wipe(password);
  if (filePassword_) wipe(*filePassword_);
  if (exportFilePassword_) wipe(*exportFilePassword_);
  if (environmentPassword_) wipe(*environmentPassword_);
}

void Passwords::answerKeyQuestions() {
  answering_ = true;
  platform::setPasswordSink([this](platform::PasswordPurpose purpose, const char* container, std::string& password) {
    return keyPassword(purpose, container != nullptr ? container : "", password);
  });
}

const std::string* Passwords::givenKeyPassword() const {
  if (filePassword_) return &*filePassword_;
  if (environmentPassword_) return &*environmentPassword_;
  return nullptr;
}

bool Passwords::keyPassword(platform::PasswordPurpose purpose, const std::string& container, std::string& password) {
  if (purpose == platform::PasswordPurpose::NewKey) {
    const bool given = newKeyPassword(password);
    if (given && !password.empty()) newKeys_[container] = password;
    return given;
  }
  if (auto remembered = newKeys_.find(container); remembered != newKeys_.end()) {
    password = remembered->second;
    return true;
  }
  if (terminal_)
    return terminal_->readSecret(inLanguage("Password of the key in container " + container + ": ",
                                            "Contraseña de la llave del contenedor " + container + ": "),
                                 password);
  const std::string* given = givenKeyPassword();
  if (given == nullptr) return false;
  password = *given;
  return true;
}

// On a terminal: asked twice until both answers agree; an empty answer
// leaves the new key without a password.
bool Passwords::newKeyPassword(std::string& password) {
  if (!terminal_) {
    const std::string* given = givenKeyPassword();
    if (given == nullptr) return false;
    password = *given;
    return true;
  }
  platform::PasswordText repeated;
  for (;;) {
    if (!terminal_->readSecret(inLanguage("Password to protect the new key (empty for none): ",
                                          "Contraseña para proteger la llave nueva (vacía para ninguna): "),
                               password))
      return false;
    if (password.empty()) return true;
    if (!terminal_->readSecret(inLanguage("Repeat the password: ", "Repita la contraseña: "), repeated.text()))
      return false;
    if (repeated.text() == password) return true;
    terminal_->say(
        inLanguage("The two passwords differ; try again.", "Las dos contraseñas no coinciden; intente de nuevo."));
  }
}

void Passwords::takeExportPasswordFrom(const std::string& path) { exportFilePassword_ = readPasswordFile(path); }

Passwords::Outcome Passwords::exportPassword(const std::string& file, platform::PasswordText& password) {
  if (exportFilePassword_) {
    if (exportFilePassword_->empty()) return Outcome::Empty;
    password.text() = *exportFilePassword_;
    return Outcome::Given;
  }
  if (terminal_) {
    platform::PasswordText repeated;
    if (!terminal_->readSecret(inLanguage("Password for " + file + ": ", "Contraseña para " + file + ": "),
                               password.text()) ||
        password.text().empty())
      return Outcome::Empty;
    if (!terminal_->readSecret(inLanguage("Repeat the password: ", "Repita la contraseña: "), repeated.text()))
      return Outcome::Empty;
    return repeated.text() == password.text() ? Outcome::Given : Outcome::Mismatch;
  }
  if (!filePassword_ || filePassword_->empty()) return Outcome::Empty;
  password.text() = *filePassword_;
  return Outcome::Given;
}

bool Passwords::importPassword(const std::string& file, platform::PasswordText& password) {
  if (terminal_)
    return terminal_->readSecret(inLanguage("Password of " + file + ": ", "Contraseña de " + file + ": "),
                                 password.text());
  if (!filePassword_) return false;
  password.text() = *filePassword_;
  return true;
}

}  // namespace tarvenholm::host
