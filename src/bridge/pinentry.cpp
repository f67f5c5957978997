#include "bridge/pinentry.h"

#include <openssl/crypto.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "hosting/sites.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tarvenholm::bridge {
namespace {

// Assuan error codes (libgpg-error), in the low 16 bits of an ERR line.
constexpr unsigned kCanceled = 99;
constexpr unsigned kNotConfirmed = 114;

// Assuan lines carry '%', CR and LF percent-escaped.
std::string escaped(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    if (c == '%' || c == '\n' || c == '\r') {
      out += '%';
      out += hex[static_cast<unsigned char>(c) >> 4];
      out += hex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

void unescapeInto(const std::string& text, std::string& out) {
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] == '%' && index + 2 < text.size()) {
      const std::string digits = text.substr(index + 1, 2);
      char* end = nullptr;
      const long value = std::strtol(digits.c_str(), &end, 16);
      if (end == digits.c_str() + 2) {
        out += static_cast<char>(value);
        index += 2;
        continue;
      }
    }
    out += text[index];
  }
}

struct Pipe {
  platform::UniqueFd read{-1};
  platform::UniqueFd write{-1};
};

Pipe openPipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return {platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

// One running pinentry, spoken to over its standard input and output.
class Session {
 public:
  explicit Session(const std::string& program) : Session(program, openPipe(), openPipe()) {}

  ~Session() {
    if (pid_ <= 0) return;
    send("BYE");
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    OPENSSL_cleanse(buffered_.data(), buffered_.size());
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool started() { return pid_ > 0 && answer(nullptr).ok; }

  struct Answer {
    bool ok = false;
    unsigned error = 0;  // the code of an ERR line, 0 when the program failed
  };

  // Sends one command and reads up to its OK or ERR; data lines go to `data`.
  Answer command(const std::string& line, std::string* data = nullptr) {
    if (!send(line)) return {};
    return answer(data);
  }

 private:
  bool send(const std::string& line) {
    const std::string text = line + "\n";
    return platform::writeAll(toChild_.get(), text.data(), text.size());
  }

  bool readLine(std::string& line) {
    line.clear();
    for (;;) {
      const std::size_t end = buffered_.find('\n');
      if (end != std::string::npos) {
        line.assign(buffered_, 0, end);
        OPENSSL_cleanse(buffered_.data(), end + 1);
        buffered_.erase(0, end + 1);
        return true;
      }
      char chunk[1024];
      const ssize_t got = ::read(fromChild_.get(), chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buffered_.append(chunk, static_cast<std::size_t>(got));
      OPENSSL_cleanse(chunk, sizeof chunk);
    }
  }

  Answer answer(std::string* data) {
    std::string line;
    while (readLine(line)) {
      if (line == "OK" || line.starts_with("OK ")) return {true, 0};
      if (line.starts_with("ERR ")) {
        const unsigned long code = std::strtoul(line.c_str() + 4, nullptr, 10);
        return {false, static_cast<unsigned>(code & 0xFFFF)};
      }
      if (line.starts_with("D ") && data != nullptr) unescapeInto(line.substr(2), *data);
      OPENSSL_cleanse(line.data(), line.size());
      // Status ("S"), comments ("#") and inquiries are not ours to answer.
      if (line.starts_with("INQUIRE")) send("CAN");
    }
    return {};
  }

  // The child's ends of the pipes are closed here once it has them.
  Session(const std::string& program, Pipe toChild, Pipe fromChild)
      : toChild_(std::move(toChild.write)), fromChild_(std::move(fromChild.read)) {
    if (!toChild_.valid() || !fromChild_.valid()) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild.read.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild.write.get(), STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  platform::UniqueFd toChild_;
  platform::UniqueFd fromChild_;
  pid_t pid_ = -1;
  std::string buffered_;
};

bool describe(Session& session, const Question& question) {
  if (!session.started()) return false;
  const std::vector<std::pair<const char*, const std::string*>> settings = {
      {"SETTITLE", &question.title}, {"SETDESC", &question.description}, {"SETOK", &question.ok},
      {"SETNOTOK", &question.notOk}, {"SETCANCEL", &question.cancel}};
  for (const auto& [command, text] : settings) {
    if (text->empty()) continue;
    if (!session.command(std::string(command) + " " + escaped(*text)).ok) return false;
  }
  return true;
}

}  // namespace

std::string Pinentry::configuredProgram() {
  if (const char* program = std::getenv("TARVENHOLM_PINENTRY"); program != nullptr && *program != '\0')
    return program;
  if (std::optional<std::string> program = hosting::userPinentryProgram(); program && !program->empty())
    return *program;
  return "pinentry";
}

std::optional<Choice> Pinentry::confirm(const Question& question) const {
  Session session(program_);
  if (!describe(session, question)) return std::nullopt;
  const Session::Answer answer = session.command("CONFIRM");
  if (answer.ok) return Choice::Ok;
  if (answer.error == kNotConfirmed) return Choice::NotOk;
  if (answer.error == kCanceled) return Choice::Cancel;
  return std::nullopt;
}

bool Pinentry::getPin(const Question& question, const std::string& prompt, std::string& pin) const {
  pin.clear();
  Session session(program_);
  if (!describe(session, question) || !session.command("SETPROMPT " + escaped(prompt)).ok) return false;
  if (session.command("GETPIN", &pin).ok) return true;
  OPENSSL_cleanse(pin.data(), pin.size());
  pin.clear();
  return false;
}

}  // namespace tarvenholm::bridge
