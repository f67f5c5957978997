// Identity, lifetime and creation of objects that may be aggregated.
//
// An object derives from ComObjectRoot and from its interfaces, writes
// PLATFORM_DELEGATING_IUNKNOWN once in its class (one override serves the
// IUnknown of every interface base), and lists its interfaces in
// findInterface:
//
//   class Shape final : public platform::ComObjectRoot, public IShape, public IPersistStreamInit {
//    public:
//     explicit Shape(IUnknown* outer) : ComObjectRoot(outer) {}
//     PLATFORM_DELEGATING_IUNKNOWN
//    protected:
//     void* findInterface(REFIID iid) override {
//       if (iid == IID_IShape || iid == IID_IDispatch) return static_cast<IShape*>(this);
//       if (iid == IID_IPersistStreamInit) return static_cast<IPersistStreamInit*>(this);
//       return nullptr;
//     }
//   };
//   createComObject<Shape>(outer, iid, out);   // what IClassFactory::CreateInstance does
//
// The object's own count lives on its inner (non-delegating) unknown. Alone,
// every interface's QueryInterface, AddRef and Release go there. Aggregated,
// they go to the outer object, which alone holds the inner unknown and asks
// it for the object's interfaces; the object's identity (IUnknown) is then
// the outer's. The object is deleted when its own count reaches zero.
// Members that need the object's identity (a connection point container,
// say) take controllingUnknown().
#pragma once

#include <atomic>
#include <functional>
#include <new>
#include <utility>

#include "platform/objbase.h"
#include "platform/refcounted.h"

namespace platform {

class ComObjectRoot {
 public:
  ComObjectRoot(const ComObjectRoot&) = delete;
  ComObjectRoot& operator=(const ComObjectRoot&) = delete;

  // The outer object when aggregated, else the object's own unknown.
  IUnknown* controllingUnknown() { return outer_ != nullptr ? outer_ : &inner_; }
  // What the creator holds: the object's own, non-delegating unknown.
  IUnknown* innerUnknown() { return &inner_; }
  bool isAggregated() const { return outer_ != nullptr; }

 protected:
  explicit ComObjectRoot(IUnknown* outer) : inner_(*this), outer_(outer) {}
  virtual ~ComObjectRoot() = default;

  // The interface pointer for `iid` (no reference taken), or null. IUnknown
  // is answered by the base.
  virtual void* findInterface(REFIID iid) = 0;

  HRESULT delegatedQueryInterface(REFIID iid, void** out) { return controllingUnknown()->QueryInterface(iid, out); }
  ULONG delegatedAddRef() { return controllingUnknown()->AddRef(); }
  ULONG delegatedRelease() { return controllingUnknown()->Release(); }

 private:
  class Inner final : public IUnknown {
   public:
    explicit Inner(ComObjectRoot& object) : object_(object) {}
    HRESULT QueryInterface(REFIID iid, void** out) override {
      if (out == nullptr) return E_POINTER;
      if (iid == IID_IUnknown) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
      }
      *out = object_.findInterface(iid);
      if (*out == nullptr) return E_NOINTERFACE;
      // Through the interface itself, so that an aggregated object counts on its outer.
      static_cast<IUnknown*>(*out)->AddRef();
      return S_OK;
    }
    ULONG AddRef() override { return ++object_.references_; }
    ULONG Release() override {
      const ULONG left = --object_.references_;
      if (left == 0) delete &object_;
      return left;
    }

   private:
    ComObjectRoot& object_;
  };

  Inner inner_;
  IUnknown* outer_;
  std::atomic<ULONG> references_{0};
};

#define PLATFORM_DELEGATING_IUNKNOWN                                                          \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {          \
    return delegatedQueryInterface(riid, ppvObject);                                          \
  }                                                                                           \
  ULONG STDMETHODCALLTYPE AddRef() override { return delegatedAddRef(); }                     \
  ULONG STDMETHODCALLTYPE Release() override { return delegatedRelease(); }

// Creates a T(outer, args...) and asks it for `iid`, by the rules of
// aggregation: an outer object may only ask for IID_IUnknown
// (CLASS_E_NOAGGREGATION otherwise) and receives the inner unknown. The
// object is deleted again when it does not serve `iid`.
template <class T, class... Args>
HRESULT createComObject(IUnknown* outer, REFIID iid, void** out, Args&&... args) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  T* object = new (std::nothrow) T(outer, std::forward<Args>(args)...);
  if (object == nullptr) return E_OUTOFMEMORY;
  IUnknown* inner = object->innerUnknown();
  inner->AddRef();
  const HRESULT result = inner->QueryInterface(iid, out);
  inner->Release();
  return result;
}

// A class factory over a creation function, e.g. createComObject<T>. Lock
// is told of LockServer calls (+1, -1) so that a module can count them.
class ClassFactory final : public RefCounted<IClassFactory> {
 public:
  using Creator = std::function<HRESULT(IUnknown* outer, REFIID iid, void** out)>;
  using Lock = std::function<void(int delta)>;

  static HRESULT create(Creator creator, Lock lock, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    auto* factory = new (std::nothrow) ClassFactory(std::move(creator), std::move(lock));
    if (factory == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = factory->QueryInterface(iid, out);
    factory->Release();
    return result;
  }

  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    return creator_(pUnkOuter, riid, ppvObject);
  }
  HRESULT LockServer(BOOL fLock) override {
    if (lock_) lock_(fLock ? 1 : -1);
    return S_OK;
  }

 private:
  ClassFactory(Creator creator, Lock lock) : creator_(std::move(creator)), lock_(std::move(lock)) {}
  ~ClassFactory() override = default;

  Creator creator_;
  Lock lock_;
};

}  // namespace platform
