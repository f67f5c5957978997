// Ownership of the platform's integer handles (HCRYPTPROV, NCRYPT_KEY_HANDLE,
// ...), which std::unique_ptr cannot hold: 0 is "no handle".
#pragma once

#include <utility>

namespace platform {

template <class Handle, auto Release>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Handle{});
    }
    return *this;
  }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle{}; }
  void reset() {
    if (handle_ != Handle{}) Release(std::exchange(handle_, Handle{}));
  }
  // Gives the handle up without releasing it.
  Handle release() { return std::exchange(handle_, Handle{}); }
  // Releases the handle now and returns what the platform answered; the
  // handle is forgotten either way.
  auto close() { return Release(release()); }
  // Releases what is held and gives the address for a call that fills it.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_{};
};

}  // namespace platform
