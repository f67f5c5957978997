// The home and the hives hold private keys: a home or hive that another user
// owns or may write is refused, a hive is never opened through a symbolic
// link, the user's own hive is kept at mode 0600, and a hive that cannot be
// used is named with the reason.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "testlib/child_process.h"
#include "testlib/host_fixture.h"
#include "testlib/test_home.h"

namespace {

using testing_support::HomeTest;

constexpr uid_t kNobody = 65534;

// Creates a key in the user hive (HKCU) or the machine hive; the call's status.
LSTATUS createKey(HKEY root) {
  HKEY raw = nullptr;
  const LSTATUS status =
      RegCreateKeyExA(root, "Software\\Tarvenholm\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
  if (status == ERROR_SUCCESS) RegCloseKey(raw);
  return status;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

void touch(const std::string& path, mode_t mode) {
  testing_support::writeText(path, "");
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

class StateSafety : public HomeTest {
 protected:
  ~StateSafety() override { platform::setHomeOverride(""); }
};

TEST_F(StateSafety, RefusesHomesAndHivesThatAreNotTheUsersAloneAndNamesTheFile) {
  struct Case {
    const char* what;
    // Prepares the case's home (and machine hive path); returns the path that must be refused.
    std::function<std::string(const std::string& home)> prepare;
    HKEY hive;
    DWORD error;
    bool needsRoot;
  };
  const bool root = ::geteuid() == 0;
  const std::string target = home_.path() + "/target";
  const std::string missing = home_.path() + "/missing";
  const std::string shared = home_.path() + "/shared.hive";  // outside each case's home
  const Case cases[] = {
      {"home writable by everyone",
       [](const std::string& home) { return ::chmod(home.c_str(), 0777), home; }, HKEY_CURRENT_USER,
       ERROR_INVALID_SECURITY_DESCR, false},
      {"home writable by its group",
       [](const std::string& home) { return ::chmod(home.c_str(), 0770), home; }, HKEY_CURRENT_USER,
       ERROR_INVALID_SECURITY_DESCR, false},
      {"home of another user",
       [](const std::string& home) { return ::chown(home.c_str(), kNobody, kNobody), home; }, HKEY_CURRENT_USER,
       ERROR_INVALID_OWNER, true},
      {"user hive of another user",
       [](const std::string& home) {
         touch(home + "/user.hive", 0600);
         return ::chown((home + "/user.hive").c_str(), kNobody, kNobody), home + "/user.hive";
       },
       HKEY_CURRENT_USER, ERROR_INVALID_OWNER, true},
      {"user hive linked to an empty file",
       [&target](const std::string& home) {
         touch(target, 0600);
         return ::symlink(target.c_str(), (home + "/user.hive").c_str()), home + "/user.hive";
       },
       HKEY_CURRENT_USER, ERROR_STOPPED_ON_SYMLINK, false},
      {"user hive linked to nothing",
       [&missing](const std::string& home) {
         return ::symlink(missing.c_str(), (home + "/user.hive").c_str()), home + "/user.hive";
       },
       HKEY_CURRENT_USER, ERROR_STOPPED_ON_SYMLINK, false},
      {"user hive that is a folder",
       [](const std::string& home) { return ::mkdir((home + "/user.hive").c_str(), 0700), home + "/user.hive"; },
       HKEY_CURRENT_USER, ERROR_DIRECTORY, false},
      {"user hive of a newer version",
       [](const std::string& home) {
         const std::string hive = home + "/user.hive";
         sqlite3* db = nullptr;
         sqlite3_open(hive.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE later(x); PRAGMA user_version = 99", nullptr, nullptr, nullptr);
         sqlite3_close(db);
         ::chmod(hive.c_str(), 0600);
         return hive;
       },
       HKEY_CURRENT_USER, ERROR_REVISION_MISMATCH, false},
      {"machine hive /dev/null",
       [](const std::string&) { return ::setenv("TARVENHOLM_MACHINE_HIVE", "/dev/null", 1), std::string("/dev/null"); },
       HKEY_LOCAL_MACHINE, ERROR_BAD_FILE_TYPE, false},
      {"machine hive in a missing folder",
       [](const std::string& home) {
         const std::string path = home + "/missing/machine.hive";
         return ::setenv("TARVENHOLM_MACHINE_HIVE", path.c_str(), 1), path;
       },
       HKEY_LOCAL_MACHINE, ERROR_FILE_NOT_FOUND, false},
      {"machine hive others may write",
       [&shared](const std::string&) {
         const std::string path = shared;
         touch(path, 0666);
         return ::setenv("TARVENHOLM_MACHINE_HIVE", path.c_str(), 1), path;
       },
       HKEY_LOCAL_MACHINE, ERROR_INVALID_SECURITY_DESCR, false},
  };
  int index = 0;
  for (const Case& c : cases) {
    if (c.needsRoot && !root) continue;
    const std::string home = home_.path() + "/case" + std::to_string(index++);
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    platform::setHomeOverride(home);
    const std::string refused = c.prepare(home);
    EXPECT_EQ(createKey(c.hive), static_cast<LSTATUS>(c.error)) << c.what;
    const std::optional<platform::StateFailure> failure = platform::lastStateFailure();
    ASSERT_TRUE(failure.has_value()) << c.what;
    EXPECT_EQ(failure->path, refused) << c.what;
    EXPECT_EQ(failure->error, c.error) << c.what;
    ::unsetenv("TARVENHOLM_MACHINE_HIVE");
  }
  // Nothing was written through the links.
  EXPECT_TRUE(exists(target) && testing_support::readText(target).empty());
  EXPECT_FALSE(exists(missing));
}

TEST_F(StateSafety, RepairsTheModeOfTheUsersOwnHiveWithANotice) {
  const std::string hive = home_.path() + "/user.hive";
  touch(hive, 0644);
  ASSERT_EQ(createKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(modeOf(hive), 0600u);
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_NE(boxes_.boxes()[0].text.find(hive), std::string::npos);
  EXPECT_NE(boxes_.boxes()[0].text.find("0644"), std::string::npos);
  EXPECT_FALSE(platform::lastStateFailure().has_value());
}

// As "nobody": a home and an empty hive that another user made open to all.
TEST(StateSafetyChild, UsesAPreparedHome) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs only as the child of another test";
  testing_support::reportToParent(std::to_string(createKey(HKEY_CURRENT_USER)));
}

TEST_F(StateSafety, AHomeAnotherUserPreparedIsRefused) {
  if (const std::string why = testing_support::whyNobodyCannotStartThisExecutable(); !why.empty()) GTEST_SKIP() << why;
  const std::string home = home_.path() + "/prepared";
  ASSERT_EQ(::mkdir(home.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(home.c_str(), 0777), 0);
  touch(home + "/user.hive", 0666);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);  // "nobody" must reach it
  }
  const testing_support::ChildResult child =
      testing_support::runTestInChild("StateSafetyChild.UsesAPreparedHome", {{"TARVENHOLM_HOME", home}}, root);
  ASSERT_EQ(child.reports.size(), 1u);
  EXPECT_EQ(child.reports[0], std::to_string(root ? ERROR_INVALID_OWNER : ERROR_INVALID_SECURITY_DESCR));
  EXPECT_TRUE(testing_support::readText(home + "/user.hive").empty());

  // The command line says which file and why, and fails.
  const testing_support::HostRun run =
      testing_support::runHost({"--home", home, "genreq", "--names", "2.5.4.3=Ana", "--key-size", "1024"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
  EXPECT_EQ(run.err, "tarvenholm: cannot use the home " + home + ": other users may write it\n");
  EXPECT_TRUE(testing_support::readText(home + "/user.hive").empty());
}

}  // namespace
