#include "fuzz_support.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/application.h"
#include "platform/home.h"

namespace fuzzing {
namespace {

void removeHome(const std::string& path) {
  ::nftw(
      path.c_str(), [](const char* file, const struct stat*, int, struct FTW*) { return ::remove(file); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// A tmpfs when there is one: the hives sync every write, and a fuzzer
// writes a lot.
std::string temporaryDirectory() {
  struct stat info {};
  if (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

struct ProcessHome {
  std::string path;

  ProcessHome() {
    std::string pattern = temporaryDirectory() + "/tarvenholm-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
    ::setenv("TARVENHOLM_HOME", path.c_str(), 1);
    ::unsetenv("TARVENHOLM_MACHINE_HIVE");
    platform::setHomeOverride("");
    platform::setMessageBoxSink([](const char*, const char*, unsigned) { return 1; });
    platform::setPasswordSink([](platform::PasswordPurpose, const char*, std::string& password) {
      password.clear();
      return false;
    });
  }
  ~ProcessHome() { removeHome(path); }
};

}  // namespace

const std::string& useProcessHome() {
  static const ProcessHome home;
  return home.path;
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace fuzzing
