// The user's terminal (/dev/tty), for questions whose answers must not
// come from, or show on, standard input and output.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/unique_fd.h"

namespace tarvenholm::host {

class Terminal {
 public:
  // The controlling terminal; null when the process has none.
  static std::unique_ptr<Terminal> open();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Writes `prompt`, reads one line with echo off (restored even when a
  // signal ends the process meanwhile) and drops its line break. False at
  // the end of input.
  bool readSecret(const std::string& prompt, std::string& line);
  // The same with echo on, for answers that are not secret.
  bool ask(const std::string& prompt, std::string& line);
  // Writes a line of text.
  void say(const std::string& text);

 private:
  explicit Terminal(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  // One line up to its line break (dropped, with a carriage return before
  // it); false at the end of input.
  bool readLine(std::string& line);
  platform::UniqueFd fd_;
};

}  // namespace tarvenholm::host
