// A machine hive outside the test's private home, in a directory that a
// child process of another user can reach, for the cases of a user who may
// read the machine hive but not write it.
#pragma once

#include <string>

#include "testlib/child_process.h"

namespace testing_support {

class SharedMachineHive {
 public:
  // Points TARVENHOLM_MACHINE_HIVE at <home>/shared/machine.hive for the
  // life of the object.
  explicit SharedMachineHive(const std::string& home);
  ~SharedMachineHive();
  SharedMachineHive(const SharedMachineHive&) = delete;
  SharedMachineHive& operator=(const SharedMachineHive&) = delete;

  const std::string& path() const { return path_; }

  // Runs `childTest` (see child_process.h) in a process that may read the
  // hive but not write it: as the user "nobody" when the tests run as root,
  // since file modes do not stop root; else with the hive and its directory
  // made read-only for the run.
  ChildResult runReadOnlyChild(const std::string& childTest);

 private:
  std::string home_;
  std::string directory_;
  std::string path_;
};

}  // namespace testing_support
