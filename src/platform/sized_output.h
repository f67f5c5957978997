// The platform's two-call buffer convention for variable-size results.
#pragma once

#include <cstring>
#include <vector>

#include "platform/lasterror.h"
#include "platform/wintypes.h"

namespace platform {

// Checks a caller's buffer for a result of `size` bytes: with no buffer the
// size is reported and the call succeeds without filling anything; a buffer
// that is too small fails with ERROR_MORE_DATA and the size reported. True
// when the caller's buffer is to be filled now; otherwise `result` is what
// the call returns.
inline bool callerBufferFits(DWORD size, const void* buffer, DWORD* length, BOOL& result) {
  result = FALSE;
  if (length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const DWORD offered = *length;
  *length = size;
  if (buffer == nullptr) {
    result = TRUE;
    return false;
  }
  if (offered < size) {
    SetLastError(ERROR_MORE_DATA);
    return false;
  }
  return true;
}

// Hands `data` to the caller under the two-call convention.
inline BOOL copyToCaller(const void* data, std::size_t size, BYTE* buffer, DWORD* length) {
  BOOL result = FALSE;
  if (!callerBufferFits(static_cast<DWORD>(size), buffer, length, result)) return result;
  if (size != 0) std::memcpy(buffer, data, size);
  return TRUE;
}

inline BOOL copyToCaller(const std::vector<BYTE>& data, BYTE* buffer, DWORD* length) {
  return copyToCaller(data.data(), data.size(), buffer, length);
}

}  // namespace platform
