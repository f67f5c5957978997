// The component-object services that rest on the registry: type library
// registration, program identifiers, and creation by class through the
// module registered for it.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/comptr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/libloader.h"
#include "platform/oleauto.h"
#include "platform/oletext.h"
#include "platform/registry.h"
#include "platform/typelib.h"

namespace {

using platform::ComPtr;

// The automation marshallers the original platform names for dual and
// dispatch-only interfaces.
constexpr CLSID CLSID_PSOAInterface = PLATFORM_BASE_IID(0x00020424);
constexpr CLSID CLSID_PSDispatch = PLATFORM_BASE_IID(0x00020420);

bool writeText(const std::string& path, const char* valueName, const std::string& text) {
  HKEY opened = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &opened, nullptr) != ERROR_SUCCESS)
    return false;
  const UniqueHkey key(opened);
  return RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// The default value of a key of HKEY_CLASSES_ROOT, without its terminator.
std::optional<std::string> readText(const std::string& path) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
  const UniqueHkey key(opened);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
    return std::nullopt;
  std::string text(size, '\0');
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  text.resize(size);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string hex(unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

// Modules loaded for their classes, kept until CoFreeUnusedLibraries.
struct LoadedModule {
  std::string path;
  HMODULE handle;
};
std::mutex modulesLock;
std::vector<LoadedModule> loadedModules;

HMODULE loadModule(const std::string& path) {
  const std::lock_guard<std::mutex> guard(modulesLock);
  for (const LoadedModule& module : loadedModules)
    if (module.path == path) return module.handle;
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle != nullptr) loadedModules.push_back(LoadedModule{path, handle});
  return handle;
}

}  // namespace

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  if (ptlib == nullptr || szFullPath == nullptr) return E_INVALIDARG;
  const platform::LibraryModel* library = platform::libraryModel(ptlib);
  if (library == nullptr) return E_INVALIDARG;
  if (FAULT("RegisterTypeLib", ERROR_ACCESS_DENIED)) return TYPE_E_REGISTRYACCESS;
  const std::string libid = platform::guidText(library->libid);
  const std::string version = hex(library->majorVersion) + "." + hex(library->minorVersion);
  const std::string root = "TypeLib\\" + libid + "\\" + version;
  const std::string platformName = library->syskind == SYS_WIN64 ? "win64" : "win32";
  bool written = writeText(root, nullptr, platform::wideToUtf8(library->help)) &&
                 writeText(root + "\\FLAGS", nullptr, std::to_string(library->flags)) &&
                 writeText(root + "\\" + hex(library->lcid) + "\\" + platformName, nullptr,
                           platform::wideToUtf8(szFullPath)) &&
                 writeText(root + "\\HELPDIR", nullptr, szHelpDir == nullptr ? "" : platform::wideToUtf8(szHelpDir));
  for (const platform::TypeModel& type : library->types) {
    if (!written) break;
    if (type.kind != TKIND_DISPATCH) continue;
    const std::string key = "Interface\\" + platform::guidText(type.guid);
    const std::string marshaller =
        platform::guidText((type.flags & TYPEFLAG_FDUAL) ? CLSID_PSOAInterface : CLSID_PSDispatch);
    written = writeText(key, nullptr, platform::wideToUtf8(type.name)) &&
              writeText(key + "\\ProxyStubClsid", nullptr, marshaller) &&
              writeText(key + "\\ProxyStubClsid32", nullptr, marshaller) &&
              writeText(key + "\\TypeLib", nullptr, libid) &&
              writeText(key + "\\TypeLib", "Version",
                        std::to_string(library->majorVersion) + "." + std::to_string(library->minorVersion));
  }
  return written ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  *lpclsid = CLSID_NULL;
  if (FAULT("CLSIDFromProgID", ERROR_FILE_NOT_FOUND)) return CO_E_CLASSSTRING;
  const std::optional<std::string> text = readText(platform::wideToUtf8(lpszProgID) + "\\CLSID");
  if (!text || !platform::parseGuid(*text, *lpclsid)) return CO_E_CLASSSTRING;
  return S_OK;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (lplpszProgID == nullptr) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  const std::optional<std::string> text = readText("CLSID\\" + platform::guidText(clsid) + "\\ProgID");
  if (!text) return REGDB_E_CLASSNOTREG;
  const std::u16string wide = platform::utf8ToWide(*text);
  *lplpszProgID = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
  if (*lplpszProgID == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*lplpszProgID, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (FAULT("CoGetClassObject", ERROR_FILE_NOT_FOUND)) return REGDB_E_CLASSNOTREG;
  const std::optional<std::string> path = readText("CLSID\\" + platform::guidText(rclsid) + "\\InprocServer32");
  if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
  HMODULE module = loadModule(*path);
  if (module == nullptr) return CO_E_DLLNOTFOUND;
  const auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(GetProcAddress(module, "DllGetClassObject"));
  if (getClassObject == nullptr) return CO_E_ERRORINDLL;
  return getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  ComPtr<IClassFactory> factory;
  const HRESULT found = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.putVoid());
  if (FAILED(found)) return found;
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}

void CoFreeUnusedLibraries() {
  const std::lock_guard<std::mutex> guard(modulesLock);
  for (auto module = loadedModules.begin(); module != loadedModules.end();) {
    const auto canUnload = reinterpret_cast<DllCanUnloadNowFunction>(GetProcAddress(module->handle, "DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK) {
      FreeLibrary(module->handle);
      module = loadedModules.erase(module);
    } else {
      ++module;
    }
  }
}
