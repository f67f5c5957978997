// Key storage interface (ncrypt): a key of a legacy provider context seen as
// a key handle, its properties, and signing a hash value that the caller
// computed, with PKCS #1 v1.5 or PSS padding, or with ECDSA. Names,
// structures and numbers are those of the original platform; results are
// SECURITY_STATUS values (ERROR_SUCCESS or an NTE_ number), not the
// thread's last error.
#pragma once

#include "platform/unique_handle.h"
#include "platform/wincrypt.h"

using SECURITY_STATUS = LONG;
using NCRYPT_HANDLE = ULONG_PTR;
using NCRYPT_PROV_HANDLE = ULONG_PTR;
using NCRYPT_KEY_HANDLE = ULONG_PTR;

#define NTE_INVALID_HANDLE 0x80090026L
#define NTE_INVALID_PARAMETER 0x80090027L
#define NTE_BUFFER_TOO_SMALL 0x80090028L
#define NTE_NOT_SUPPORTED 0x80090029L

#define NCRYPT_SILENT_FLAG 0x00000040
#define BCRYPT_PAD_PKCS1 0x00000002
#define BCRYPT_PAD_PSS 0x00000008

#define BCRYPT_SHA1_ALGORITHM u"SHA1"
#define BCRYPT_SHA256_ALGORITHM u"SHA256"
#define BCRYPT_SHA384_ALGORITHM u"SHA384"
#define BCRYPT_SHA512_ALGORITHM u"SHA512"

// Key properties. The PIN is a NUL-terminated UTF-16 text: the password of
// a protected key, used instead of asking the user.
#define NCRYPT_PIN_PROPERTY u"SmartCardPin"
#define NCRYPT_UI_POLICY_PROPERTY u"UI Policy"
#define NCRYPT_LENGTH_PROPERTY u"Length"

#define NCRYPT_UI_PROTECT_KEY_FLAG 0x00000001
#define NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG 0x00000002

struct NCRYPT_UI_POLICY {
  DWORD dwVersion;
  DWORD dwFlags;
  LPCWSTR pszCreationTitle;
  LPCWSTR pszFriendlyName;
  LPCWSTR pszDescription;
};

// pszAlgId names the hash whose DigestInfo goes under the padding; null
// signs the given bytes as they are (the caller encoded the DigestInfo).
struct BCRYPT_PKCS1_PADDING_INFO {
  LPCWSTR pszAlgId;
};

// The hash of the value and of MGF1, and the salt length in bytes.
struct BCRYPT_PSS_PADDING_INFO {
  LPCWSTR pszAlgId;
  ULONG cbSalt;
};

// The key pair `legacyKeySpec` of the legacy context `legacyProv` as a key
// handle (and, when `provider` is not null, a provider handle). The key
// handle shares the context: releasing the context does not invalidate it.
SECURITY_STATUS NCryptTranslateHandle(NCRYPT_PROV_HANDLE* provider, NCRYPT_KEY_HANDLE* key, HCRYPTPROV legacyProv,
                                      HCRYPTKEY legacyKey, DWORD legacyKeySpec, DWORD flags);

// NCRYPT_UI_POLICY_PROPERTY (an NCRYPT_UI_POLICY, its texts null) and
// NCRYPT_LENGTH_PROPERTY (a DWORD, the key size in bits) of a key.
SECURITY_STATUS NCryptGetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE output, DWORD outputLength,
                                  DWORD* resultLength, DWORD flags);

// NCRYPT_PIN_PROPERTY of a key.
SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE input, DWORD inputLength,
                                  DWORD flags);

// The signature (big-endian) of `hashValue`. For an RSA key `paddingInfo`
// is a BCRYPT_PKCS1_PADDING_INFO or a BCRYPT_PSS_PADDING_INFO as `flags`
// says. An ECDSA key takes no padding flag (`paddingInfo` is ignored) and
// gives r and s side by side, each as long as the curve's order.
// With NCRYPT_SILENT_FLAG a protected key without its PIN is refused with
// NTE_SILENT_CONTEXT; a wrong PIN with ERROR_INVALID_PASSWORD. A null
// `signature` asks for the length.
SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE key, void* paddingInfo, PBYTE hashValue, DWORD hashValueLength,
                               PBYTE signature, DWORD signatureLength, DWORD* resultLength, DWORD flags);

SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object);

using UniqueNcryptKey = platform::UniqueHandle<NCRYPT_KEY_HANDLE, NCryptFreeObject>;
