#include "testlib/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace testing_support {
namespace {

constexpr const char* kChildVariable = "TARVENHOLM_TEST_CHILD";
constexpr const char* kReportVariable = "TARVENHOLM_TEST_REPORT_FD";
constexpr uid_t kNobody = 65534;

std::string ownExecutable() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) std::abort();
  return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace

ChildProcess::ChildProcess(const std::string& testName,
                           const std::vector<std::pair<std::string, std::string>>& environment, bool unprivileged) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
  const std::string executable = ownExecutable();
  const std::string filter = "--gtest_filter=" + testName;
  pid_ = ::fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    ::close(pipeFds[0]);
    const int reportFd = ::dup(pipeFds[1]);  // without O_CLOEXEC: survives exec
    ::setenv(kChildVariable, "1", 1);
    ::setenv(kReportVariable, std::to_string(reportFd).c_str(), 1);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    if (unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
    }
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);
    ::execl(executable.c_str(), executable.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  reportFd_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) wait();
}

ChildResult ChildProcess::wait() {
  ChildResult result;
  std::string received;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(reportFd_, buffer, sizeof buffer);
    if (got > 0) {
      received.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  ::close(reportFd_);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1)
    result.reports.push_back(received.substr(start, end - start));
  return result;
}

ChildResult runTestInChild(const std::string& testName,
                           const std::vector<std::pair<std::string, std::string>>& environment, bool unprivileged) {
  return ChildProcess(testName, environment, unprivileged).wait();
}

bool inChildProcess() { return std::getenv(kChildVariable) != nullptr; }

void reportToParent(const std::string& line) {
  const char* fdText = std::getenv(kReportVariable);
  if (fdText == nullptr) return;
  const std::string text = line + "\n";
  const int fd = std::atoi(fdText);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t done = ::write(fd, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    written += static_cast<std::size_t>(done);
  }
}

}  // namespace testing_support
