#include "host/terminal.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace tarvenholm::host {
namespace {

constexpr std::size_t kLongestSecret = 4096;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What a signal handler needs to give the terminal its echo back.
volatile sig_atomic_t echoOffFd = -1;
struct termios savedSettings;

extern "C" void restoreEchoAndDie(int signal) {
  if (echoOffFd >= 0) ::tcsetattr(echoOffFd, TCSAFLUSH, &savedSettings);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Echo off for the life of the object.
class EchoOff {
 public:
  explicit EchoOff(int fd) {
    if (::tcgetattr(fd, &savedSettings) != 0) return;
    struct sigaction action {};
    action.sa_handler = restoreEchoAndDie;
    sigemptyset(&action.sa_mask);
    for (std::size_t index = 0; index < std::size(kEndingSignals); ++index)
      ::sigaction(kEndingSignals[index], &action, &previous_[index]);
    struct termios quiet = savedSettings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    echoOffFd = fd;
    active_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (echoOffFd >= 0) ::tcsetattr(echoOffFd, TCSAFLUSH, &savedSettings);
    echoOffFd = -1;
    if (!active_) return;
    for (std::size_t index = 0; index < std::size(kEndingSignals); ++index)
      ::sigaction(kEndingSignals[index], &previous_[index], nullptr);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  bool active_ = false;
  struct sigaction previous_[std::size(kEndingSignals)]{};
};

bool writeAll(int fd, const std::string& text) { return platform::writeAll(fd, text.data(), text.size()); }

}  // namespace

std::unique_ptr<Terminal> Terminal::open() {
  platform::UniqueFd fd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  return std::unique_ptr<Terminal>(new Terminal(std::move(fd)));
}

bool Terminal::readSecret(const std::string& prompt, std::string& line) {
  OPENSSL_cleanse(line.data(), line.size());
  line.clear();
  line.reserve(kLongestSecret);  // no reallocation leaves copies behind
  bool read = false;
  {
    // Echo goes off before the prompt shows: what is typed after it never echoes.
    EchoOff echoOff(fd_.get());
    if (!writeAll(fd_.get(), prompt)) return false;
    read = readLine(line);
  }
  writeAll(fd_.get(), "\n");
  return read;
}

bool Terminal::ask(const std::string& prompt, std::string& line) {
  line.clear();
  return writeAll(fd_.get(), prompt) && readLine(line);
}

bool Terminal::readLine(std::string& line) {
  bool ended = false;
  for (;;) {
    char byte = 0;
    const ssize_t count = ::read(fd_.get(), &byte, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      ended = line.empty();
      break;
    }
    if (byte == '\n') break;
    if (line.size() < kLongestSecret) line += byte;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return !ended;
}

void Terminal::say(const std::string& text) { writeAll(fd_.get(), text + "\n"); }

}  // namespace tarvenholm::host
