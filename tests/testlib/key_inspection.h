// What request generation leaves behind, seen from outside: the user's key
// containers and their key pairs, the key records in the machine registry,
// and the request slot of a call.
#pragma once

#include <string>
#include <vector>

#include "platform/bstr.h"
#include "platform/wintypes.h"

namespace testing_support {

// The user's key containers in the RSA providers' name space.
std::vector<std::string> rsaKeyContainers();

enum class ContainerState { Missing, Empty, WithKeyPair };
ContainerState containerState(const std::string& container);

// Size in bits of the container's key-exchange key pair; 0 without one.
DWORD keyPairBits(const std::string& container);

// The key identifier of the container's key-exchange public key, as the
// platform exports it; empty without one.
std::string containerKeyId(const std::string& container);

// The identifiers under SOFTWARE\Tarvenholm\GK of the machine registry.
std::vector<std::string> keyRecordIds();

// The out-parameter of a call, freed when the test case ends. Starts with
// a string of its own, so a call that leaves it untouched can be told apart.
class RequestSlot {
 public:
  RequestSlot();
  ~RequestSlot();
  RequestSlot(const RequestSlot&) = delete;
  RequestSlot& operator=(const RequestSlot&) = delete;

  BSTR* out() { return &current_; }
  // Whether the slot still holds the string it started with.
  bool untouched() const { return current_ == initial_; }
  bool isNull() const { return current_ == nullptr; }
  // The slot's text as UTF-8.
  std::string text() const;
  // The string the slot started with, which the call must not have freed.
  std::string initialText() const;

 private:
  BSTR initial_;
  BSTR current_;
};

}  // namespace testing_support
