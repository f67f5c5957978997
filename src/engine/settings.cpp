#include "engine/settings.h"

#include <utility>

namespace tarvenholm {
namespace {

// Used only from the host's apartment thread, like the control itself.
std::int32_t keySize = kDefaultKeySize;
std::string& providerName() {
  static std::string name = kDefaultProviderName;
  return name;
}

}  // namespace

std::int32_t keySizeSetting() { return keySize; }

void setKeySizeSetting(std::int32_t bits) { keySize = bits; }

const std::string& providerNameSetting() { return providerName(); }

void setProviderNameSetting(std::string name) { providerName() = std::move(name); }

void resetSettings() {
  keySize = kDefaultKeySize;
  providerName() = kDefaultProviderName;
}

}  // namespace tarvenholm
