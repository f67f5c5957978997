// Owners of the provider interface's handles for the engine's requests.
#pragma once

#include <utility>

#include "platform/wincrypt.h"

namespace tarvenholm {

// Owns a handle of the provider interface. release() lets it go now and
// tells whether the platform did; the handle is forgotten either way.
template <BOOL (*Release)(ULONG_PTR)>
class PlatformHandle {
 public:
  PlatformHandle() = default;
  ~PlatformHandle() {
    if (held()) release();
  }
  PlatformHandle(const PlatformHandle&) = delete;
  PlatformHandle& operator=(const PlatformHandle&) = delete;

  ULONG_PTR* receive() { return &handle_; }
  ULONG_PTR get() const { return handle_; }
  bool held() const { return handle_ != 0; }
  bool release() { return Release(std::exchange(handle_, 0)) != FALSE; }

 private:
  ULONG_PTR handle_ = 0;
};

inline BOOL releaseContext(HCRYPTPROV context) { return CryptReleaseContext(context, 0); }

using ProviderContext = PlatformHandle<releaseContext>;
using KeyHandle = PlatformHandle<CryptDestroyKey>;

}  // namespace tarvenholm
