#include "control/module_state.h"

#include <atomic>
#include <mutex>

#include "control/keygenerator.h"
#include "platform/combase.h"
#include "platform/comptr.h"

namespace tarvenholm {
namespace {

std::atomic<LONG> locks{0};

std::mutex& factoryLock() {
  static std::mutex lock;
  return lock;
}

platform::ComPtr<IUnknown>& keptFactory() {
  static platform::ComPtr<IUnknown> factory;
  return factory;
}

}  // namespace

LONG moduleLockCount() { return locks.load(); }
void lockModule() { ++locks; }
void unlockModule() { --locks; }

HRESULT createKeyGenerator(IUnknown* outer, REFIID iid, void** object) {
  return platform::createComObject<TkeyGeneratorImpl>(outer, iid, object);
}

HRESULT keyGeneratorClassObject(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  platform::ComPtr<IUnknown> factory;
  {
    const std::lock_guard<std::mutex> guard(factoryLock());
    if (!keptFactory()) {
      const HRESULT created = platform::ClassFactory::create(
          createKeyGenerator, [](int delta) { delta > 0 ? lockModule() : unlockModule(); }, IID_IUnknown,
          keptFactory().putVoid());
      if (FAILED(created)) return created;
    }
    factory = keptFactory();
  }
  return factory->QueryInterface(iid, object);
}

void releaseClassObjects() {
  const std::lock_guard<std::mutex> guard(factoryLock());
  keptFactory().reset();
}

}  // namespace tarvenholm
