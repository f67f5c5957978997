#include "testlib/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/unique_fd.h"
#include "testlib/process_start.h"

namespace testing_support {
namespace {

constexpr const char* kChildVariable = "TARVENHOLM_TEST_CHILD";
constexpr const char* kReportVariable = "TARVENHOLM_TEST_REPORT_FD";

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
  const platform::UniqueFd reportEnd(pipeFds[1]);
  const platform::UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  ProcessStart start;
  start.arguments = {ownExecutable(), "--gtest_filter=" + testName};
  start.environment = currentEnvironment();
  // Built as a string first: GCC 12 warns of a false overlap when a literal is assigned here.
  start.environment[kChildVariable] = std::string(1, '1');
  start.environment[kReportVariable] = std::to_string(reportEnd.get());
  for (const auto& [name, value] : environment) start.environment[name] = value;
  start.output = devNull.get();
  start.inherited = reportEnd.get();
  start.unprivileged = unprivileged;
  pid_ = startProcess(start);
  reportFd_.reset(pipeFds[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) wait();
}

ChildResult ChildProcess::wait() {
  ChildResult result;
  const std::string received = readAll(reportFd_.get());
  reportFd_.reset();
  const int status = waitForProcess(pid_);
  pid_ = -1;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1)
    result.reports.push_back(received.substr(start, end - start));
  return result;
}

std::string whyNobodyCannotStartThisExecutable() {
  static const std::string why = [] {
    if (::geteuid() != 0) return std::string();
    const platform::UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ProcessStart start;
    start.arguments = {ownExecutable(), "--gtest_list_tests"};
    start.environment = currentEnvironment();
    start.output = devNull.get();
    start.error = devNull.get();
    start.unprivileged = true;
    const int status = waitForProcess(startProcess(start));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::string();
    return "the user \"nobody\" cannot start " + ownExecutable() +
           ": a directory above it is closed to other users; run the tests from a checkout they may enter";
  }();
  return why;
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
  platform::writeAll(std::atoi(fdText), text.data(), text.size());
}

}  // namespace testing_support
