// Where the user's state lives: the home directory and the two hive files.
#pragma once

#include <string>

namespace platform {

// The home directory: the override, else $TARVENHOLM_HOME, else
// $XDG_DATA_HOME/tarvenholm, else ~/.local/share/tarvenholm. Read afresh at
// every call, so a test can point each case at a new directory.
std::string homeDirectory();

// The host's --home. An empty text removes the override.
void setHomeOverride(const std::string& directory);

// Creates the home (and missing parents of it) with mode 0700 when missing.
// Returns false with the last error set when that fails.
bool ensureHomeDirectory();

// <home>/user.hive
std::string userHivePath();
// $TARVENHOLM_MACHINE_HIVE, else <home>/machine.hive
std::string machineHivePath();

}  // namespace platform
