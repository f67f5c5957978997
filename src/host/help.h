// The host's help and usage-error texts, in the style of common Unix tools.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/arguments.h"

namespace tarvenholm::host {

void printGeneralHelp(std::FILE* out);
// The help of the commands under `words` ("genreq", or "store" for both
// store commands); false when there is no such command.
bool printCommandHelp(std::FILE* out, const std::vector<std::string>& words);
void printVersion(std::FILE* out);

// "tarvenholm: PROBLEM" and where to look for help, on standard error.
void printUsageError(const UsageError& error);

}  // namespace tarvenholm::host
