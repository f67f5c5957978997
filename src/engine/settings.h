// The module-wide settings the control's properties write and request
// generation reads: one value per loaded module, shared by every control
// of the process, set to the defaults when the module loads.
#pragma once

#include <cstdint>
#include <string>

namespace tarvenholm {

inline constexpr const char* kDefaultProviderName = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr std::int32_t kDefaultKeySize = 1024;

// Key size in bits, as set; validated only when a request is generated.
std::int32_t keySizeSetting();
void setKeySizeSetting(std::int32_t bits);

// Provider name, 8-bit text; resolved only when it is used.
const std::string& providerNameSetting();
void setProviderNameSetting(std::string name);

// Back to the values the module starts with (module load).
void resetSettings();

}  // namespace tarvenholm
