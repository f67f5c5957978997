// The one way the tests start a program as a child process: fork, set up
// the child's descriptors, session and user, exec.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessStart {
  std::vector<std::string> arguments;              // the first is the program's path
  std::map<std::string, std::string> environment;  // all of it
  // Become the child's standard input, output and error; -1 keeps the parent's.
  int input = -1;
  int output = -1;
  int error = -1;
  // A descriptor the program keeps open (the parent's are closed on exec).
  int inherited = -1;
  // A new session, so the child has no controlling terminal unless
  // `terminal` (a pseudo-terminal's path) becomes it.
  bool newSession = false;
  std::string terminal;
  // As the user "nobody" (uid and gid 65534) when the parent is root.
  bool unprivileged = false;
};

// Starts the program; aborts when it cannot fork. The child exits with 126
// when its set-up fails and 127 when the program does not start.
pid_t startProcess(const ProcessStart& start);

// Waits for the child (again after an interruption); its wait status.
int waitForProcess(pid_t pid);

// Everything `fd` gives until its end (or an error).
std::string readAll(int fd);

// Runs a shell command line; its exit status (-1 when a signal ended it),
// standard output and error in `output`.
int runCommand(const std::string& commandLine, std::string& output);

// The process's own environment.
std::map<std::string, std::string> currentEnvironment();

}  // namespace testing_support
