#include "testlib/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>

#include "platform/unique_fd.h"
#include "testlib/process_start.h"

namespace testing_support {

std::map<std::string, std::string> hostEnvironment(const std::vector<std::pair<std::string, std::string>>& changes) {
  std::map<std::string, std::string> variables = currentEnvironment();
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE", "TARVENHOLM_KEY_PASSWORD"}) variables.erase(name);
  // Built as a string first: GCC 12 warns of a false overlap when a literal is assigned here.
  variables.insert_or_assign("LANG", std::string(1, 'C'));
  for (const auto& [name, value] : changes) {
    if (value.empty())
      variables.erase(name);
    else
      variables[name] = value;
  }
  return variables;
}

namespace {

// Far beyond any run's time, also under the sanitizers.
constexpr auto kLongestRun = std::chrono::minutes(5);

using platform::UniqueFd;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
};

// Reads what is there; false at the end (or on an error).
bool drain(int fd, std::string& into) {
  char buffer[8192];
  const ssize_t count = ::read(fd, buffer, sizeof buffer);
  if (count > 0) into.append(buffer, static_cast<std::size_t>(count));
  return count > 0 || (count < 0 && (errno == EINTR || errno == EAGAIN));
}

TerminalRun run(const std::string& binary, const std::vector<std::string>& args, const HostEnvironment& environment,
                const std::vector<TerminalExchange>* exchanges) {
  ProcessStart start;
  start.arguments = {binary};
  start.arguments.insert(start.arguments.end(), args.begin(), args.end());
  start.environment = hostEnvironment(environment.variables);
  start.newSession = true;
  UniqueFd terminal;
  char terminalName[PATH_MAX] = {};
  if (exchanges != nullptr) {
    terminal.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal.get() < 0 || ::grantpt(terminal.get()) != 0 || ::unlockpt(terminal.get()) != 0 ||
        ::ptsname_r(terminal.get(), terminalName, sizeof terminalName) != 0)
      std::abort();
    start.terminal = terminalName;
  }
  Pipe input, output, error;
  start.input = input.read.get();
  start.output = output.write.get();
  start.error = error.write.get();
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = startProcess(start);
  input.read.reset();
  output.write.reset();
  error.write.reset();

  TerminalRun result;
  std::size_t written = 0;
  if (environment.input.empty()) input.write.reset();
  if (input.write.get() >= 0) ::fcntl(input.write.get(), F_SETFL, O_NONBLOCK);
  std::size_t answered = 0;
  std::size_t searchFrom = 0;
  const auto deadline = std::chrono::steady_clock::now() + kLongestRun;
  while (output.read.get() >= 0 || error.read.get() >= 0) {
    pollfd watched[4] = {{output.read.get(), POLLIN, 0},
                         {error.read.get(), POLLIN, 0},
                         {input.write.get(), POLLOUT, 0},
                         {terminal.get(), POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(watched, 4, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (watched[0].revents != 0 && !drain(output.read.get(), result.out)) output.read.reset();
    if (watched[1].revents != 0 && !drain(error.read.get(), result.err)) error.read.reset();
    if (watched[2].revents != 0) {
      const ssize_t count =
          ::write(input.write.get(), environment.input.data() + written, environment.input.size() - written);
      if (count > 0) written += static_cast<std::size_t>(count);
      if ((count < 0 && errno != EINTR && errno != EAGAIN) || written == environment.input.size()) input.write.reset();
    }
    if (watched[3].revents != 0 && !drain(terminal.get(), result.terminal)) terminal.reset();
    if (exchanges != nullptr && answered < exchanges->size() && terminal.get() >= 0) {
      const TerminalExchange& next = (*exchanges)[answered];
      const std::size_t found = result.terminal.find(next.prompt, searchFrom);
      if (found != std::string::npos) {
        const std::string typed = next.answer + "\n";
        if (!platform::writeAll(terminal.get(), typed.data(), typed.size())) std::abort();
        searchFrom = found + next.prompt.size();
        ++answered;
      }
    }
  }
  const int status = waitForProcess(pid);
  // What the command wrote last on its terminal.
  if (terminal.get() >= 0) {
    ::fcntl(terminal.get(), F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t count; (count = ::read(terminal.get(), buffer, sizeof buffer)) > 0;)
      result.terminal.append(buffer, static_cast<std::size_t>(count));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace

std::string hostBinary() { return std::string(TARVENHOLM_BINARY_DIR) + "/tarvenholm"; }

HostRun runHost(const std::vector<std::string>& args, const HostEnvironment& environment) {
  return run(hostBinary(), args, environment, nullptr);
}

HostRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                   const HostEnvironment& environment) {
  return run(binary, args, environment, nullptr);
}

TerminalRun runHostOnTerminal(const std::vector<std::string>& args, const std::vector<TerminalExchange>& exchanges,
                              const HostEnvironment& environment) {
  return run(hostBinary(), args, environment, &exchanges);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = line.find('\t', start)) != std::string::npos; start = end + 1)
    fields.push_back(line.substr(start, end - start));
  fields.push_back(line.substr(start));
  return fields;
}

}  // namespace testing_support
