// Fixtures shared by the tests: a fresh temporary home for every case,
// message boxes recorded instead of shown, the fault switch reset.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/wintypes.h"

namespace testing_support {

struct Box {
  std::string text;
  std::string caption;
  UINT flags;
};

// Records every message box (and answers at once) while it lives, and every
// question before a new root joins ROOT, answered as `trustRoots` says.
class BoxRecorder {
 public:
  BoxRecorder();
  ~BoxRecorder();
  BoxRecorder(const BoxRecorder&) = delete;
  BoxRecorder& operator=(const BoxRecorder&) = delete;

  const std::vector<Box>& boxes() const { return boxes_; }
  std::vector<std::string> texts() const;
  void clear() { boxes_.clear(); }

  // The roots asked about, in order.
  const std::vector<platform::RootCertificateQuestion>& rootsAsked() const { return rootsAsked_; }
  bool trustRoots = true;

 private:
  std::vector<Box> boxes_;
  std::vector<platform::RootCertificateQuestion> rootsAsked_;
};

// A new empty home directory, made the process's home for the life of the
// object (TARVENHOLM_HOME), removed afterwards.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previousHome_;
  bool hadPreviousHome_ = false;
};

// Base fixture: a fresh home, a box recorder and a clean fault switch per case.
class HomeTest : public ::testing::Test {
 protected:
  HomeTest();
  ~HomeTest() override;

  TempHome home_;
  BoxRecorder boxes_;
};

// Removes a directory tree.
void removeTree(const std::string& path);

}  // namespace testing_support
