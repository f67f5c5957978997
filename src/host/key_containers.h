// The user's key containers as the providers list them, and the
// certificates of MY bound to them: what keys list and keys delete share.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/wincrypt.h"

namespace tarvenholm::host {

struct Provider {
  std::string name;
  DWORD type;
};

// A container is known by its creator and name: the RSA providers share
// their containers, and every one of them lists them all.
using ContainerId = std::pair<std::string, std::string>;

// A certificate of MY and the container it is bound to.
struct BoundCertificate {
  ContainerId container;
  std::string thumbprint;
};
// Every certificate of MY bound to a container that exists, in the store's
// order; nothing with the last error set when MY cannot be read.
std::optional<std::vector<BoundCertificate>> boundCertificates();

struct ContainerEntry {
  std::string name;
  std::string provider;  // the one that created it
  Provider listedBy;     // one that opens it
  std::optional<DWORD> bits;  // none: the container holds no key pair
  std::optional<std::string> certificate;  // the first certificate of MY bound to it
};

struct ContainerListing {
  std::vector<ContainerEntry> entries;
  // The containers that could not be read, each named on standard error:
  // only their names are sure, and the provider that listed them (their
  // creator when that could be read).
  std::vector<ContainerEntry> damaged;
};

// Every readable container once, in the order of the providers that list
// them; nothing after reporting (on standard error) what kept the whole
// listing from being made.
std::optional<ContainerListing> listContainers();

}  // namespace tarvenholm::host
