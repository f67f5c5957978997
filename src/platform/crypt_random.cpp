// CryptGenRandom: random bytes from OpenSSL's generator, seeded by the kernel.
#include <openssl/err.h>
#include <openssl/rand.h>

#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/wincrypt.h"

using namespace platform;

BOOL CryptGenRandom(HCRYPTPROV prov, DWORD length, BYTE* buffer) {
  if (FAULT("CryptGenRandom", NTE_FAIL)) return FALSE;
  if (!findContext(prov)) return FALSE;
  if (buffer == nullptr && length != 0) return failWith(ERROR_INVALID_PARAMETER);
  if (length != 0 && RAND_bytes(buffer, static_cast<int>(length)) != 1) {
    ERR_clear_error();
    return failWith(NTE_FAIL);
  }
  return TRUE;
}
