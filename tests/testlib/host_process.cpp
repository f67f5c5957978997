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

extern char** environ;

namespace testing_support {
namespace {

// Far beyond any run's time, also under the sanitizers.
constexpr auto kLongestRun = std::chrono::minutes(5);

std::map<std::string, std::string> runEnvironment(const HostEnvironment& environment) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE", "TARVENHOLM_KEY_PASSWORD"}) variables.erase(name);
  // Built as a string first: GCC 12 warns of a false overlap when a literal is assigned here.
  variables.insert_or_assign("LANG", std::string(1, 'C'));
  for (const auto& [name, value] : environment.variables) {
    if (value.empty())
      variables.erase(name);
    else
      variables[name] = value;
  }
  return variables;
}

// Owns a file descriptor; -1 when closed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  void close() { reset(-1); }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
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
  // Everything the child needs is made before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> argumentTexts{binary};
  argumentTexts.insert(argumentTexts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentTexts;
  for (const auto& [name, value] : runEnvironment(environment)) environmentTexts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : environmentTexts) envp.push_back(text.data());
  envp.push_back(nullptr);

  Fd terminal;
  char terminalName[PATH_MAX] = {};
  if (exchanges != nullptr) {
    terminal.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal.get() < 0 || ::grantpt(terminal.get()) != 0 || ::unlockpt(terminal.get()) != 0 ||
        ::ptsname_r(terminal.get(), terminalName, sizeof terminalName) != 0)
      std::abort();
  }
  Pipe input, output, error;
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::setsid();  // no controlling terminal, unless the pseudo-terminal becomes it
    if (terminalName[0] != '\0') {
      const int controlling = ::open(terminalName, O_RDWR);
      if (controlling < 0 || ::ioctl(controlling, TIOCSCTTY, 0) != 0) ::_exit(126);
    }
    ::dup2(input.read.get(), STDIN_FILENO);
    ::dup2(output.write.get(), STDOUT_FILENO);
    ::dup2(error.write.get(), STDERR_FILENO);
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  input.read.close();
  output.write.close();
  error.write.close();

  TerminalRun result;
  std::size_t written = 0;
  if (environment.input.empty()) input.write.close();
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
    if (watched[0].revents != 0 && !drain(output.read.get(), result.out)) output.read.close();
    if (watched[1].revents != 0 && !drain(error.read.get(), result.err)) error.read.close();
    if (watched[2].revents != 0) {
      const ssize_t count =
          ::write(input.write.get(), environment.input.data() + written, environment.input.size() - written);
      if (count > 0) written += static_cast<std::size_t>(count);
      if ((count < 0 && errno != EINTR && errno != EAGAIN) || written == environment.input.size()) input.write.close();
    }
    if (watched[3].revents != 0 && !drain(terminal.get(), result.terminal)) terminal.close();
    if (exchanges != nullptr && answered < exchanges->size() && terminal.get() >= 0) {
      const TerminalExchange& next = (*exchanges)[answered];
      const std::size_t found = result.terminal.find(next.prompt, searchFrom);
      if (found != std::string::npos) {
        const std::string typed = next.answer + "\n";
        if (::write(terminal.get(), typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) std::abort();
        searchFrom = found + next.prompt.size();
        ++answered;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
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
