#include "testlib/process_start.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/unique_fd.h"

extern char** environ;

namespace testing_support {
namespace {

constexpr uid_t kNobody = 65534;

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

pid_t startProcess(const ProcessStart& start) {
  // Everything the child needs is made before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> arguments = start.arguments;
  std::vector<std::string> variables;
  for (const auto& [name, value] : start.environment) variables.push_back(name + "=" + value);
  const std::vector<char*> argv = pointersTo(arguments);
  const std::vector<char*> envp = pointersTo(variables);
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid > 0) return pid;
  if (start.newSession) ::setsid();
  if (!start.terminal.empty()) {
    const int controlling = ::open(start.terminal.c_str(), O_RDWR);
    if (controlling < 0 || ::ioctl(controlling, TIOCSCTTY, 0) != 0) ::_exit(126);
  }
  if (start.unprivileged && ::geteuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
  }
  if (start.inherited >= 0 && ::fcntl(start.inherited, F_SETFD, 0) != 0) ::_exit(126);
  if (start.input >= 0) ::dup2(start.input, STDIN_FILENO);
  if (start.output >= 0) ::dup2(start.output, STDOUT_FILENO);
  if (start.error >= 0) ::dup2(start.error, STDERR_FILENO);
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

int waitForProcess(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[8192];
  for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (count > 0)
      text.append(buffer, static_cast<std::size_t>(count));
    else if (errno != EINTR)
      break;
  }
  return text;
}

int runCommand(const std::string& commandLine, std::string& output) {
  output.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  platform::UniqueFd reading(fds[0]);
  platform::UniqueFd writing(fds[1]);
  ProcessStart start;
  start.arguments = {"/bin/sh", "-c", commandLine};
  start.environment = currentEnvironment();
  start.output = writing.get();
  start.error = writing.get();
  const pid_t pid = startProcess(start);
  writing.reset();
  output = readAll(reading.get());
  const int status = waitForProcess(pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  return variables;
}

}  // namespace testing_support
