#include "testlib/shared_hive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

SharedMachineHive::SharedMachineHive(const std::string& home)
    : home_(home), directory_(home + "/shared"), path_(directory_ + "/machine.hive") {
  ::mkdir(directory_.c_str(), 0755);
  ::setenv("TARVENHOLM_MACHINE_HIVE", path_.c_str(), 1);
}

SharedMachineHive::~SharedMachineHive() { ::unsetenv("TARVENHOLM_MACHINE_HIVE"); }

ChildResult SharedMachineHive::runReadOnlyChild(const std::string& childTest) {
  const bool root = ::geteuid() == 0;
  if (root) {
    // "nobody" must reach the hive through the private home; the hive and
    // its directory stay root's and are not writable by others.
    ::chmod(home_.c_str(), 0755);
    ::chmod(path_.c_str(), 0644);
  } else {
    ::chmod(path_.c_str(), 0444);
    ::chmod(directory_.c_str(), 0555);
  }
  ChildResult result = runTestInChild(childTest, {{"TARVENHOLM_HOME", directory_ + "/child-home"}}, root);
  ::chmod(home_.c_str(), 0700);
  ::chmod(directory_.c_str(), 0755);
  ::chmod(path_.c_str(), 0600);
  return result;
}

}  // namespace testing_support
