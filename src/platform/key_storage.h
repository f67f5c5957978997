// The key storage provider: the platform's newer kind of key provider, kept
// beside the legacy catalogue rather than in it.
//
// Its catalogue is SOFTWARE\Cryptography\Defaults\KeyStorageProvider of the
// machine hive (one key per provider name, REG_DWORD "Type"), seeded with
// kKeyStorageProviderName. CryptEnumProvidersA does not list it, so what the
// legacy enumeration reports is unchanged; CryptEnumKeyStorageProvidersA
// does. Every other call takes it like any provider: CryptAcquireContextA
// with its name and PROV_KEY_STORAGE opens or creates a container in its own
// name space (container records under ...\Crypto\Keys\KSP, durable and
// password-protected exactly as RSA containers are).
//
// A container of this provider holds one key pair, which AT_KEYEXCHANGE and
// AT_SIGNATURE both name. CryptGenKey makes it:
//   - RSA: AT_KEYEXCHANGE, AT_SIGNATURE, CALG_RSA_KEYX or CALG_RSA_SIGN, the
//     modulus size in the upper 16 bits of the flags (2048 to 16384);
//   - ECDSA: CALG_ECDSA, the curve's size in the upper 16 bits of the flags:
//     256 (P-256) or 384 (P-384); anything else is NTE_BAD_FLAGS.
// The low 16 bits of the flags are CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED,
// as for RSA providers. The legacy providers refuse CALG_ECDSA (NTE_BAD_ALGID).
// CryptExportPKCS8 of an EC key takes szOID_ECC_PUBLIC_KEY.
#pragma once

#include "platform/wincrypt.h"

// This platform's number for the key storage provider type; the legacy
// PROV_* numbers end well below it.
#define PROV_KEY_STORAGE 0x100
#define CALG_ECDSA 0x00002203
#define szOID_ECC_PUBLIC_KEY "1.2.840.10045.2.1"

namespace platform {
inline constexpr char kKeyStorageProviderName[] = "Tarvenholm Software Key Storage Provider";
inline constexpr DWORD kP256Bits = 256;
inline constexpr DWORD kP384Bits = 384;
inline constexpr DWORD kMinKeyStorageRsaBits = 2048;
}  // namespace platform

// The key storage providers, as CryptEnumProvidersA gives the legacy ones:
// same arguments, sizing and errors (ERROR_NO_MORE_ITEMS past the last).
BOOL CryptEnumKeyStorageProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPSTR provName,
                                   DWORD* provNameSize);
