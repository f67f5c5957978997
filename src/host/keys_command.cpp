// keys list: the user's key containers through the provider interface.
#include <cstdio>

#include "host/commands.h"
#include "host/console.h"
#include "host/json_output.h"
#include "host/key_containers.h"

namespace tarvenholm::host {
namespace {

// The fifth field of a container without a key pair; complete containers
// have four.
constexpr const char* kNoKeyPairMark = "no-key-pair";

}  // namespace

int runKeysList(Host&, const CommandLine& line) {
  const std::optional<ContainerListing> listing = listContainers();
  if (!listing) return kExitFailure;
  const std::vector<ContainerEntry>& entries = listing->entries;
  // What could be read is listed; a container that could not be is a failure.
  const int status = listing->damaged.empty() ? kExitSuccess : kExitFailure;
  if (line.has("--json")) {
    Json containers = Json::array();
    for (const ContainerEntry& entry : entries)
      containers.push_back({{"name", entry.name},
                            {"provider", entry.provider},
                            {"keyPair", entry.bits.has_value()},
                            {"bits", entry.bits ? Json(*entry.bits) : Json()},
                            {"certificate", entry.certificate ? Json(*entry.certificate) : Json()}});
    printJson({{"containers", containers}});
    return status;
  }
  for (const ContainerEntry& entry : entries) {
    std::string text = entry.name + "\t" + entry.provider + "\t" + (entry.bits ? std::to_string(*entry.bits) : "-") +
                       "\t" + entry.certificate.value_or("-");
    if (!entry.bits) text += std::string("\t") + kNoKeyPairMark;
    std::printf("%s\n", text.c_str());
  }
  return status;
}

}  // namespace tarvenholm::host
