// Runs one test case of the current test binary in a separate process, for
// tests that need real processes: several writers on one file, or a user
// without rights on a file.
//
// The parent calls runTestInChild with the child test's full name. The child
// is the same executable started afresh with --gtest_filter; it sees
// TARVENHOLM_TEST_CHILD set (inChildProcess() is true; elsewhere the child
// test skips itself), inherits the parent's environment plus `environment`,
// and sends lines back with reportToParent.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace testing_support {

struct ChildResult {
  int exitStatus = -1;               // the child's exit status; -1 when it did not exit normally
  std::vector<std::string> reports;  // the lines the child sent with reportToParent
};

// Starts the child; does not wait for it. `unprivileged` runs it as the
// user "nobody" (uid and gid 65534) when the parent is root.
class ChildProcess {
 public:
  ChildProcess(const std::string& testName, const std::vector<std::pair<std::string, std::string>>& environment,
               bool unprivileged = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the child and collects what it reported.
  ChildResult wait();

 private:
  int pid_ = -1;
  platform::UniqueFd reportFd_;
};

ChildResult runTestInChild(const std::string& testName,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           bool unprivileged = false);

// Empty when a child of this executable can run as "nobody" (or the tests
// do not run as root, and no child changes user); else why it cannot: a
// directory above the executable is closed to other users, as in a checkout
// made with `mktemp -d`. A test whose child runs as "nobody" skips itself
// then, since what would fail is the checkout's place, not the code.
std::string whyNobodyCannotStartThisExecutable();

bool inChildProcess();
void reportToParent(const std::string& line);

}  // namespace testing_support
