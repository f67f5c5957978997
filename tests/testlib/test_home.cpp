#include "testlib/test_home.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/application.h"
#include "platform/fault.h"
#include "platform/home.h"

namespace testing_support {

BoxRecorder::BoxRecorder() {
  platform::setMessageBoxSink([this](const char* text, const char* caption, UINT flags) {
    boxes_.push_back(Box{text ? text : "", caption ? caption : "", flags});
    return 1;
  });
  platform::setRootTrustSink([this](const platform::RootCertificateQuestion& root) {
    rootsAsked_.push_back(root);
    return trustRoots;
  });
}

BoxRecorder::~BoxRecorder() {
  platform::setMessageBoxSink(nullptr);
  platform::setRootTrustSink(nullptr);
}

std::vector<std::string> BoxRecorder::texts() const {
  std::vector<std::string> result;
  for (const Box& box : boxes_) result.push_back(box.text);
  return result;
}

TempHome::TempHome() {
  std::string pattern = ::testing::TempDir() + "tarvenholm-home-XXXXXX";
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) std::abort();
  path_ = made;
  if (const char* previous = std::getenv("TARVENHOLM_HOME")) {
    hadPreviousHome_ = true;
    previousHome_ = previous;
  }
  ::setenv("TARVENHOLM_HOME", path_.c_str(), 1);
  ::unsetenv("TARVENHOLM_MACHINE_HIVE");
  platform::setHomeOverride("");
}

TempHome::~TempHome() {
  removeTree(path_);
  if (hadPreviousHome_)
    ::setenv("TARVENHOLM_HOME", previousHome_.c_str(), 1);
  else
    ::unsetenv("TARVENHOLM_HOME");
}

HomeTest::HomeTest() {
#ifdef TARVENHOLM_FAULTS
  platform::faultReset();
#endif
}

HomeTest::~HomeTest() {
#ifdef TARVENHOLM_FAULTS
  platform::faultReset();
#endif
}

void removeTree(const std::string& path) {
  ::nftw(
      path.c_str(),
      [](const char* file, const struct stat*, int, struct FTW*) { return ::remove(file); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace testing_support
