#include "platform/home.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/lasterror.h"

namespace platform {
namespace {

std::mutex overrideMutex;
std::string homeOverride;

std::mutex failureMutex;
std::optional<StateFailure> stateFailure;

bool fail(const std::string& path, DWORD error) {
  recordStateFailure(path, error);
  SetLastError(error);
  return false;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool makeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string homeDirectory() {
  {
    std::lock_guard<std::mutex> lock(overrideMutex);
    if (!homeOverride.empty()) return homeOverride;
  }
  std::string home = environment("TARVENHOLM_HOME");
  if (!home.empty()) return home;
  std::string data = environment("XDG_DATA_HOME");
  if (!data.empty()) return data + "/tarvenholm";
  std::string user = environment("HOME");
  if (user.empty()) user = "/tmp";
  return user + "/.local/share/tarvenholm";
}

void setHomeOverride(const std::string& directory) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  homeOverride = directory;
}

bool ensureHomeDirectory() {
  const std::string home = homeDirectory();
  // Parents are ordinary directories of the user; only the home itself is private.
  for (std::size_t slash = home.find('/', 1); slash != std::string::npos; slash = home.find('/', slash + 1)) {
    if (!makeDirectory(home.substr(0, slash), 0755)) return fail(home.substr(0, slash), errorForErrno(errno));
  }
  if (!makeDirectory(home, 0700)) return fail(home, errorForErrno(errno));
  struct stat info {};
  if (::stat(home.c_str(), &info) != 0) return fail(home, errorForErrno(errno));
  if (info.st_uid != ::geteuid()) return fail(home, ERROR_INVALID_OWNER);
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return fail(home, ERROR_INVALID_SECURITY_DESCR);
  return true;
}

std::optional<StateFailure> lastStateFailure() {
  std::lock_guard<std::mutex> lock(failureMutex);
  return stateFailure;
}

void recordStateFailure(const std::string& path, DWORD error, bool writing) {
  std::lock_guard<std::mutex> lock(failureMutex);
  stateFailure = StateFailure{path, error, writing};
}

void clearStateFailure() {
  std::lock_guard<std::mutex> lock(failureMutex);
  stateFailure.reset();
}

DWORD errorForErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EISDIR:
      return ERROR_DIRECTORY;
    case ELOOP:
      return ERROR_STOPPED_ON_SYMLINK;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_OUTOFMEMORY;
    default:
      return ERROR_CANTOPEN;
  }
}

std::string userHivePath() { return homeDirectory() + "/user.hive"; }

std::string machineHivePath() {
  std::string machine = environment("TARVENHOLM_MACHINE_HIVE");
  return machine.empty() ? homeDirectory() + "/machine.hive" : machine;
}

}  // namespace platform
