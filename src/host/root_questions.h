// The command line's answer to the platform's question before a new root
// joins the user's ROOT store: --trust-new-roots says Yes to every one; else
// the user is asked on the terminal; with --batch or without a terminal the
// root is refused, with one line that names it.
#pragma once

#include <memory>

namespace tarvenholm::host {

class Terminal;

class RootQuestions {
 public:
  // Answers the questions for the life of the object.
  RootQuestions(bool trustNewRoots, bool terminalAllowed);
  ~RootQuestions();
  RootQuestions(const RootQuestions&) = delete;
  RootQuestions& operator=(const RootQuestions&) = delete;

 private:
  bool trustNewRoots_;
  std::unique_ptr<Terminal> terminal_;
};

}  // namespace tarvenholm::host
