// ComPtr<T>: owns one reference to an interface.
#pragma once

#include <utility>

#include "platform/objbase.h"

namespace platform {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to `pointer`.
  explicit ComPtr(T* pointer) : pointer_(pointer) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.pointer_) {}
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }

  // Adopts a reference the caller already owns.
  static ComPtr adopt(T* pointer) {
    ComPtr result;
    result.pointer_ = pointer;
    return result;
  }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  T& operator*() const { return *pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // Releases what is held and returns the place for an out-parameter.
  T** put() {
    reset();
    return &pointer_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }

  // Gives up ownership without releasing.
  T* detach() { return std::exchange(pointer_, nullptr); }
  void reset() {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }
  void swap(ComPtr& other) noexcept { std::swap(pointer_, other.pointer_); }

  // Hands a new reference to an out-parameter.
  HRESULT copyTo(T** out) const {
    if (out == nullptr) return E_POINTER;
    *out = pointer_;
    if (pointer_ != nullptr) pointer_->AddRef();
    return S_OK;
  }

  // QueryInterface for U.
  template <class U>
  ComPtr<U> as() const {
    ComPtr<U> result;
    if (pointer_ != nullptr) pointer_->QueryInterface(iidOf<U>(), result.putVoid());
    return result;
  }

 private:
  T* pointer_ = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& left, const ComPtr<U>& right) {
  return left.get() == right.get();
}

}  // namespace platform
