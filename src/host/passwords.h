// Where the host's passwords come from: the terminal when there is one
// (and --batch is not given), else the first line of --password-file, and
// for the passwords of user-protected keys also TARVENHOLM_KEY_PASSWORD.
// Passwords are never printed and are wiped when they are dropped.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/application.h"
#include "platform/key_protection.h"

namespace tarvenholm::host {

class Terminal;

class Passwords {
 public:
  // Reads the password file now; throws UsageError when it cannot be read.
  Passwords(bool terminalAllowed, const std::optional<std::string>& passwordFile);
  ~Passwords();
  Passwords(const Passwords&) = delete;
  Passwords& operator=(const Passwords&) = delete;

  // Answers the provider's questions for the life of the object.
  void answerKeyQuestions();

  // The exported file's password from the first line of `path` from now on,
  // apart from the key's; throws UsageError when it cannot be read.
  void takeExportPasswordFrom(const std::string& path);

  // Whether a password for an exported file can be had at all.
  bool canGiveExportPassword() const {
    return exportFilePassword_.has_value() || terminal_ != nullptr || filePassword_.has_value();
  }

  enum class Outcome { Given, Mismatch, Empty };
  // The password that protects an exported file: the export password file's,
  // else asked twice on a terminal, else the password file's.
  Outcome exportPassword(const std::string& file, platform::PasswordText& password);
  // The password that opens an existing file: asked once on a terminal, else
  // the password file's; it may be empty. False when none can be had.
  bool importPassword(const std::string& file, platform::PasswordText& password);

 private:
  bool keyPassword(platform::PasswordPurpose purpose, const std::string& container, std::string& password);
  bool newKeyPassword(std::string& password);
  // The password file's, else the environment's; nothing when neither has one.
  const std::string* givenKeyPassword() const;

  std::unique_ptr<Terminal> terminal_;
  std::optional<std::string> filePassword_;
  std::optional<std::string> exportFilePassword_;
  std::optional<std::string> environmentPassword_;
  // The password just given to a new key, for signing with it in the same run.
  std::map<std::string, std::string> newKeys_;
  bool answering_ = false;
};

}  // namespace tarvenholm::host
