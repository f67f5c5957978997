// Questions to the user through a pinentry program (the Assuan protocol of
// Debian's pinentry-* programs, which GnuPG uses): a native messaging host
// has no terminal, and pinentry shows a dialog on the user's desktop or
// terminal. Each question starts the program afresh and ends it.
#pragma once

#include <optional>
#include <string>
#include <utility>


namespace tarvenholm::bridge {

// The user's answer to a question with three buttons.
enum class Choice { Ok, NotOk, Cancel };

struct Question {
  std::string title;
  std::string description;
  std::string ok;
  std::string notOk;   // empty: no such button
  std::string cancel;
};

class Pinentry {
 public:
  // TARVENHOLM_PINENTRY, else the user's setting, else "pinentry".
  static std::string configuredProgram();

  explicit Pinentry(std::string program) : program_(std::move(program)) {}

  // Nothing when the program cannot be run or fails.
  std::optional<Choice> confirm(const Question& question) const;
  // False when the user cancels or the program fails; `pin` is then empty.
  bool getPin(const Question& question, const std::string& prompt, std::string& pin) const;

 private:
  std::string program_;
};

}  // namespace tarvenholm::bridge
