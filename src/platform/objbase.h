// Component objects: identifiers, IUnknown, class factories, task memory.
//
// Interfaces are abstract C++ classes whose virtual functions are declared in
// the original platform's order, so a pointer to one is usable the way a
// client bound to the function table expects. Each interface header names
// its identifier with PLATFORM_INTERFACE_ID, which lets templates
// (platform::iidOf<T>(), ComPtr<T>::as) find it as __uuidof would.
#pragma once

#include <string>
#include <string_view>

#include "platform/hresult.h"
#include "platform/rpc.h"
#include "platform/wintypes.h"

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

using GUID = UUID;
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LCID = DWORD;
using SCODE = LONG;

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_NEUTRAL 0x0000

inline bool operator==(const GUID& left, const GUID& right) {
  if (left.Data1 != right.Data1 || left.Data2 != right.Data2 || left.Data3 != right.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (left.Data4[i] != right.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(REFGUID left, REFGUID right) { return left == right; }
inline bool IsEqualIID(REFIID left, REFIID right) { return left == right; }
inline bool IsEqualCLSID(REFCLSID left, REFCLSID right) { return left == right; }

constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr IID IID_NULL = GUID_NULL;
constexpr CLSID CLSID_NULL = GUID_NULL;

// The identifiers of the base interfaces: xxxxxxxx-0000-0000-C000-000000000046.
#define PLATFORM_BASE_IID(data1) GUID{(data1), 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}
constexpr IID IID_IUnknown = PLATFORM_BASE_IID(0x00000000);
constexpr IID IID_IClassFactory = PLATFORM_BASE_IID(0x00000001);

namespace platform {
// The identifier of interface T, declared by PLATFORM_INTERFACE_ID. Given
// by value: identifiers are constants of each translation unit, so that no
// header puts a process-unique symbol into a module (which would keep the
// module from ever being unloaded).
template <class T>
struct InterfaceId;
template <class T>
constexpr IID iidOf() {
  return InterfaceId<T>::value();
}

// Registry form of an identifier: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hexadecimal digits.
std::string guidText(REFGUID guid);
// Reads the registry form (braces required, digits of either case).
bool parseGuid(std::string_view text, GUID& guid);
}  // namespace platform

#define PLATFORM_INTERFACE_ID(Interface, iid)  \
  namespace platform {                         \
  template <>                                  \
  struct InterfaceId<Interface> {              \
    static constexpr IID value() { return iid; } \
  };                                           \
  }

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

  // Typed convenience over QueryInterface.
  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(platform::iidOf<Q>(), reinterpret_cast<void**>(pp));
  }
};
PLATFORM_INTERFACE_ID(IUnknown, IID_IUnknown)
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
PLATFORM_INTERFACE_ID(IClassFactory, IID_IClassFactory)

// Writes the registry form with its terminator into `text`; returns the
// characters written including the terminator (39), or 0 when cchMax is
// too small.
int StringFromGUID2(REFGUID rguid, LPOLESTR text, int cchMax);
// Same text in task memory (CoTaskMemFree).
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
HRESULT StringFromIID(REFIID iid, LPOLESTR* text);
// Parses the registry form; CO_E_CLASSSTRING when it is not one.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
// Parses the registry form; E_INVALIDARG when it is not one.
HRESULT IIDFromString(LPCOLESTR text, IID* iid);

// Task memory: what interfaces hand to their callers to free.
void* CoTaskMemAlloc(SIZE_T bytes);
void CoTaskMemFree(void* memory);

// Execution contexts; only in-process servers exist here.
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)

// Creation by class. The class's module is the file named by the default
// value of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (REGDB_E_CLASSNOTREG
// without it); it is loaded once (CO_E_DLLNOTFOUND when it cannot be) and
// asked through its exported C function DllGetClassObject (CO_E_ERRORINDLL
// when it has none). A context without CLSCTX_INPROC_SERVER finds no class.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, void** ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);
// Unloads the loaded modules whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();
// HKEY_CLASSES_ROOT\<progid>\CLSID; CO_E_CLASSSTRING when it is not registered.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID in task memory; REGDB_E_CLASSNOTREG without it.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// The entry points an in-process server module exports (extern "C").
using DllGetClassObjectFunction = HRESULT (*)(REFCLSID rclsid, REFIID riid, void** ppv);
using DllCanUnloadNowFunction = HRESULT (*)();

// Per-thread initialisation count: S_OK for the first call of a thread,
// S_FALSE for the later ones; each successful call wants a CoUninitialize,
// a failed one (E_OUTOFMEMORY) none.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
