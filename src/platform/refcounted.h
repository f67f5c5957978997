// A plain object with its own reference count (not aggregatable), answering
// QueryInterface for IUnknown, its interface and the interfaces listed after
// it, all with the same pointer: RefCounted<IStream, ISequentialStream>.
// It starts with one reference, the creator's.
#pragma once

#include <atomic>

#include "platform/objbase.h"

namespace platform {

template <class Interface, class... AlsoAnswersFor>
class RefCounted : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == iidOf<Interface>() || ((riid == iidOf<AlsoAnswersFor>()) || ...)) {
      *ppvObject = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace platform
