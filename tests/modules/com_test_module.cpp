// An in-process server for the runtime's tests: one class, Counter
// (IPersist), served through DllGetClassObject, creatable aggregated, with
// the module's lock count behind DllCanUnloadNow.
#include <atomic>

#include "platform/combase.h"
#include "platform/objidl.h"

namespace {

constexpr CLSID CLSID_Counter{0x6D3E2A40, 0x2222, 0x4B3C, {0x8D, 0x02, 0x11, 0x21, 0x31, 0x41, 0x51, 0x61}};

std::atomic<long> moduleLocks{0};

class Counter final : public platform::ComObjectRoot, public IPersist {
 public:
  explicit Counter(IUnknown* outer) : ComObjectRoot(outer) { ++moduleLocks; }
  ~Counter() override { --moduleLocks; }
  PLATFORM_DELEGATING_IUNKNOWN

  HRESULT GetClassID(CLSID* pClassID) override {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = CLSID_Counter;
    return S_OK;
  }

 protected:
  void* findInterface(REFIID iid) override { return iid == IID_IPersist ? static_cast<IPersist*>(this) : nullptr; }
};

}  // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_Counter) return CLASS_E_CLASSNOTAVAILABLE;
  return platform::ClassFactory::create(
      [](IUnknown* outer, REFIID iid, void** out) { return platform::createComObject<Counter>(outer, iid, out); },
      [](int delta) { moduleLocks += delta; }, riid, ppv);
}

extern "C" HRESULT DllCanUnloadNow() { return moduleLocks == 0 ? S_OK : S_FALSE; }
