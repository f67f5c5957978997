// Key containers at rest, in the user hive:
//
//   HKEY_CURRENT_USER\Software\Tarvenholm\Crypto\Keys\<family>\<container>
//     "Provider"   REG_SZ      the provider that created the container
//     "Exchange"   REG_BINARY  the AT_KEYEXCHANGE key pair, when there is one
//     "Signature"  REG_BINARY  the AT_SIGNATURE key pair, when there is one
//
// <family> is the container name space of the provider type ("RSA" for
// every RSA provider, "KSP" for the key storage provider, whose containers
// hold their one key pair in the value "Key" instead). A key pair is one value, so it is written (or
// replaced) in one atomic step, the DER of
//
//   KeyPairRecord ::= SEQUENCE {
//     flags       INTEGER,               -- CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED as generated
//     bits        INTEGER,               -- modulus size, or the EC curve's size
//     publicKey   SubjectPublicKeyInfo,
//     plain       [0] EXPLICIT PrivateKeyInfo OPTIONAL,           -- one of these two
//     encrypted   [1] EXPLICIT EncryptedPrivateKeyInfo OPTIONAL } -- under the user's password
//
// Results are error numbers, ERROR_SUCCESS on success.
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

struct ContainerKey {
  DWORD flags = 0;
  DWORD bits = 0;
  std::vector<BYTE> publicKeyInfo;  // DER SubjectPublicKeyInfo
  bool passwordProtected = false;
  std::vector<BYTE> privateKey;     // DER PrivateKeyInfo, or EncryptedPrivateKeyInfo when protected
};

// Refuses names the registry cannot hold as one key name (NTE_BAD_KEYSET_PARAM).
DWORD checkContainerName(const std::string& container);

// NTE_EXISTS when the name is taken in the provider type's name space.
DWORD createKeyContainer(DWORD providerType, const std::string& container, const std::string& provider);
// NTE_BAD_KEYSET when there is no such container.
DWORD openKeyContainer(DWORD providerType, const std::string& container, std::string& creator);
// Removes the container and its key pairs; NTE_BAD_KEYSET when there is none.
DWORD deleteKeyContainer(DWORD providerType, const std::string& container);
// Container names in the registry's order; none when the name space is empty.
DWORD listKeyContainers(DWORD providerType, std::vector<std::string>& names);

// The key spec under which a container of `providerType` keeps the key pair
// named by `keySpec`: a key storage provider's container holds one key
// pair, whichever spec names it.
DWORD storedKeySpec(DWORD providerType, DWORD keySpec);

// Stores (or replaces) the key pair of `keySpec`.
DWORD writeContainerKey(DWORD providerType, const std::string& container, DWORD keySpec, const ContainerKey& key);
// NTE_NO_KEY when the container holds no key pair of `keySpec`;
// NTE_KEYSET_ENTRY_BAD when what is stored is damaged.
DWORD readContainerKey(DWORD providerType, const std::string& container, DWORD keySpec, ContainerKey& key);

}  // namespace platform
