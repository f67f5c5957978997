// Key container names and key records: which key container, in which
// provider, holds the private key of a public key. A record is a key of the
// machine registry named by the public key's identifier, with the string
// values "a" (container name) and "b" (provider name).
#pragma once

#include <string>

#include "platform/registry.h"

namespace tarvenholm {

// Records live under HKEY_LOCAL_MACHINE, in a key of kKeyRecordsRootPath,
// which every machine hive has (the provider catalogue is in it).
inline constexpr const char* kKeyRecordsRootPath = "SOFTWARE";
inline constexpr const char* kKeyRecordsPath = "SOFTWARE\\Tarvenholm\\GK";
// The parent of kKeyRecordsPath, and the name of kKeyRecordsPath in it.
inline constexpr const char* kKeyRecordsParentPath = "SOFTWARE\\Tarvenholm\\";
inline constexpr const char* kKeyRecordsKeyName = "GK";
inline constexpr const char* kContainerValueName = "a";
inline constexpr const char* kProviderValueName = "b";

// SOFTWARE\Tarvenholm\GK\<keyId>
std::string keyRecordPath(const std::string& keyId);

// A new key container name: the 36-character lower-case text of a new UUID.
std::string newContainerName();

// False when the records cannot be written (a user who may only read the
// machine hive): a key made then could never be bound to its certificate.
bool keyRecordsWritable();

// Writes the record of `keyId`. Each failing step shows its message box
// and the next step still runs; nothing reaches the caller.
void writeKeyRecord(const std::string& keyId, const std::string& containerName, const std::string& providerName);

// The registry layer. Each call opens its own key with full access and
// closes it before returning; failures show an English message box (title
// "Tarvenholm", error icon) and are not returned.

// True when `path` exists and may be opened with full access.
bool regKeyExists(HKEY root, const std::string& path);
// Creates `path` (every missing key on the way) and its sub-key `subKey`.
void regCreateSubKey(HKEY root, const std::string& path, const std::string& subKey);
// Sets a REG_SZ value, creating `path` when it is missing.
void regWriteString(HKEY root, const std::string& path, const std::string& valueName, const std::string& text);
// The text of a REG_SZ or REG_EXPAND_SZ value (not expanded), up to its
// first zero byte; empty when the value is missing or empty, or after a
// failure. Creates `path` when it is missing.
std::string regReadString(HKEY root, const std::string& path, const std::string& valueName);

}  // namespace tarvenholm
