// The loadable module that serves the control: its object table of one
// class, the four entry points through which the platform creates and
// registers it, and the work done when the module is loaded and unloaded.
//
// Only the entry points and the four identifiers are exported (exports.map);
// everything else stays local to the module, so that no symbol of it is
// shared process-wide and the module unloads completely when the platform
// lets it go. The type library travels in the module file itself.
#include <limits.h>

#include <string>

#include "control/automation_error.h"
#include "control/identifiers.h"
#include "control/module/registration.h"
#include "control/module_state.h"
#include "platform/lasterror.h"
#include "platform/libloader.h"
#include "platform/typelib.h"

PLATFORM_EMBED_TYPELIB(TARVENHOLM_TYPELIB_FILE);

namespace {

// One class the module serves.
struct ClassEntry {
  const CLSID& clsid;
  // Writes (true) or removes (false) the class's registry entries.
  HRESULT (*updateRegistry)(bool registering, const std::string& modulePath);
  // The class factory, created on the first request and kept.
  HRESULT (*getClassObject)(REFIID iid, void** object);
  // Lets the kept factory go (module unload).
  void (*releaseClassObject)();
};

HRESULT updateKeyGeneratorRegistry(bool registering, const std::string& modulePath) {
  return registering ? tarvenholm::registerKeyGeneratorClass(modulePath)
                     : tarvenholm::unregisterKeyGeneratorClass(modulePath);
}

const ClassEntry objectTable[] = {
    {tarvenholm::CLSID_keyGenerator, updateKeyGeneratorRegistry, tarvenholm::keyGeneratorClassObject,
     tarvenholm::releaseClassObjects},
};

// Whether the load-time CoInitialize succeeded, and so wants its CoUninitialize.
bool comInitializedAtLoad = false;

HRESULT lastErrorResult() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The module's own file, found from an address inside it.
HRESULT moduleFileName(std::string& path) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&objectTable), &self))
    return lastErrorResult();
  char name[PATH_MAX];
  const DWORD length = GetModuleFileNameA(self, name, sizeof name);
  if (length == 0 || length >= sizeof name) return lastErrorResult();
  path.assign(name, length);
  return S_OK;
}

// Run by the loader, before and after the module's static objects: the
// initial settings are those of the static initialisers.
[[gnu::constructor]] void moduleLoaded() { comInitializedAtLoad = SUCCEEDED(CoInitialize(nullptr)); }

[[gnu::destructor]] void moduleUnloading() {
  for (const ClassEntry& entry : objectTable) entry.releaseClassObject();
  if (comInitializedAtLoad) CoUninitialize();
}

}  // namespace

extern "C" {

extern const GUID LIBID_Tarvenholm;
extern const IID IID_ITarvenholmX;
extern const IID DIID_ITarvenholmEvents;
extern const CLSID CLSID_keyGenerator;
const GUID LIBID_Tarvenholm = tarvenholm::LIBID_Tarvenholm;
const IID IID_ITarvenholmX = tarvenholm::IID_ITarvenholmX;
const IID DIID_ITarvenholmEvents = tarvenholm::DIID_ITarvenholmEvents;
const CLSID CLSID_keyGenerator = tarvenholm::CLSID_keyGenerator;

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& entry : objectTable)
    if (entry.clsid == rclsid) return entry.getClassObject(riid, ppv);
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return tarvenholm::moduleLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllRegisterServer() {
  return tarvenholm::guarded([] {
    std::string modulePath;
    const HRESULT found = moduleFileName(modulePath);
    if (FAILED(found)) return found;
    for (const ClassEntry& entry : objectTable) {
      const HRESULT registered = entry.updateRegistry(true, modulePath);
      if (FAILED(registered)) return registered;
    }
    return tarvenholm::registerModuleTypeLib(modulePath);
  });
}

// Every class's entries go; a class whose entries could not be looked at
// (its type library unreadable) makes the result a failure.
HRESULT DllUnregisterServer() {
  return tarvenholm::guarded([] {
    std::string modulePath;
    HRESULT result = moduleFileName(modulePath);
    if (FAILED(result)) return result;
    for (const ClassEntry& entry : objectTable) {
      const HRESULT unregistered = entry.updateRegistry(false, modulePath);
      if (FAILED(unregistered) && SUCCEEDED(result)) result = unregistered;
    }
    return result;
  });
}

}  // extern "C"
