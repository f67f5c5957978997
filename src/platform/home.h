// Where the user's state lives: the home directory and the two hive files.
#pragma once

#include <optional>
#include <string>

#include "platform/wintypes.h"

namespace platform {

// The home directory: the override, else $TARVENHOLM_HOME, else
// $XDG_DATA_HOME/tarvenholm, else ~/.local/share/tarvenholm. Read afresh at
// every call, so a test can point each case at a new directory.
std::string homeDirectory();

// The host's --home. An empty text removes the override.
void setHomeOverride(const std::string& directory);

// Creates the home (and missing parents of it) with mode 0700 when missing,
// and makes sure it is a directory of this user that no one else may write
// (as ssh and gpg demand of theirs): whoever may write it could put a hive
// of their own there and read the keys made in it. Returns false with the
// last error set (and the failure recorded) otherwise.
bool ensureHomeDirectory();

// A file or directory of the user's state that could not be used, and why
// (an error number with a system text): opened, or, for a hive that was
// opened, written.
struct StateFailure {
  std::string path;
  DWORD error = 0;
  bool writing = false;
};
// The failure of the latest attempt of this process to open a hive, or
// nothing when it succeeded.
std::optional<StateFailure> lastStateFailure();
void recordStateFailure(const std::string& path, DWORD error, bool writing = false);
void clearStateFailure();

// The error number for an errno from opening or creating a file.
DWORD errorForErrno(int error);

// <home>/user.hive
std::string userHivePath();
// $TARVENHOLM_MACHINE_HIVE, else <home>/machine.hive
std::string machineHivePath();

}  // namespace platform
