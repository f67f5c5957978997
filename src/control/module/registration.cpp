#include "control/module/registration.h"

#include <vector>

#include "control/identifiers.h"
#include "platform/bstr.h"
#include "platform/comptr.h"
#include "platform/lasterror.h"
#include "platform/oleauto.h"
#include "platform/oleidl.h"
#include "platform/oletext.h"
#include "platform/registry.h"

namespace tarvenholm {
namespace {

using platform::ComPtr;

constexpr char kThreadingModel[] = "Apartment";
// The toolbox bitmap named in the registration: resource 1 of the module.
constexpr int kToolboxBitmap = 1;

struct Verb {
  LONG number;
  const char* name;
  DWORD menuFlags;
  DWORD attributes;
};
constexpr Verb kVerbs[] = {{0, "Properties", 0, OLEVERBATTRIB_ONCONTAINERMENU}};

// Standard read rights with query, set, create-sub-key, enumerate and
// notify: what deleting a key's sub-keys takes.
constexpr REGSAM kDeleteTreeAccess = 0x2001F;

// One string written as a key's default value (valueName null) or named value.
struct Entry {
  std::string key;
  const char* valueName;
  std::string data;
};

// What the class's registration reads from the module's type library.
struct ClassDescription {
  ComPtr<ITypeLib> library;
  std::string description;
  GUID libid = GUID_NULL;
  WORD majorVersion = 0;
  WORD minorVersion = 0;
};

std::string classKey() { return "CLSID\\" + platform::guidText(CLSID_keyGenerator); }

HRESULT describeClass(const std::string& modulePath, ClassDescription& described) {
  HRESULT result = LoadTypeLib(platform::utf8ToWide(modulePath).c_str(), described.library.put());
  if (FAILED(result)) return result;

  ComPtr<ITypeInfo> classInfo;
  result = described.library->GetTypeInfoOfGuid(CLSID_keyGenerator, classInfo.put());
  if (FAILED(result)) return result;
  // The class has no description of its own; its help string serves.
  BSTR help = nullptr;
  result = classInfo->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
  const UniqueBstr helpOwner(help);
  if (FAILED(result)) return result;
  described.description = platform::wideToUtf8(help == nullptr ? u"" : help);

  TLIBATTR* attributes = nullptr;
  result = described.library->GetLibAttr(&attributes);
  if (FAILED(result)) return result;
  described.libid = attributes->guid;
  described.majorVersion = attributes->wMajorVerNum;
  described.minorVersion = attributes->wMinorVerNum;
  described.library->ReleaseTLibAttr(attributes);
  return S_OK;
}

LSTATUS writeEntry(const Entry& entry) {
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) return status;
  const UniqueHkey key(opened);
  return RegSetValueExA(key.get(), entry.valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.data.c_str()),
                        static_cast<DWORD>(entry.data.size() + 1));
}

// Stops at the first entry that cannot be written.
HRESULT writeEntries(const std::vector<Entry>& entries) {
  for (const Entry& entry : entries) {
    const LSTATUS status = writeEntry(entry);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

// The server entries, then the ones naming the type library. The module path
// is registered as it is, white space included: registry values are read
// whole here and paths have no short forms.
std::vector<Entry> serverEntries(const std::string& modulePath, const ClassDescription& described) {
  const std::string key = classKey();
  return {
      {key, nullptr, described.description},
      {key + "\\InprocServer32", nullptr, modulePath},
      {key + "\\InprocServer32", "ThreadingModel", kThreadingModel},
      {kProgId, nullptr, described.description},
      {std::string(kProgId) + "\\CLSID", nullptr, platform::guidText(CLSID_keyGenerator)},
      {key + "\\ProgID", nullptr, kProgId},
      {key + "\\Version", nullptr,
       std::to_string(described.majorVersion) + "." + std::to_string(described.minorVersion)},
      {key + "\\Typelib", nullptr, platform::guidText(described.libid)},
  };
}

std::vector<Entry> controlEntries(const std::string& modulePath) {
  const std::string key = classKey();
  std::vector<Entry> entries = {
      {key + "\\MiscStatus", nullptr, "0"},
      {key + "\\MiscStatus\\1", nullptr, std::to_string(kMiscStatus)},
      {key + "\\ToolboxBitmap32", nullptr, modulePath + "," + std::to_string(kToolboxBitmap)},
      {key + "\\Control", nullptr, ""},
      {key + "\\Verb", nullptr, ""},
  };
  for (const Verb& verb : kVerbs)
    entries.push_back({key + "\\Verb\\" + std::to_string(verb.number), nullptr,
                       std::string(verb.name) + "," + std::to_string(verb.menuFlags) + "," +
                           std::to_string(verb.attributes)});
  return entries;
}

// The first sub-key's name; false when there is none.
bool firstSubKey(HKEY key, std::string& name) {
  DWORD size = 256;
  for (;;) {
    name.assign(size, '\0');
    const LSTATUS status = RegEnumKeyExA(key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return false;
    name.resize(size);
    return true;
  }
}

// Deletes a key after its sub-keys, depth first. A sub-key that cannot be
// deleted ends the walk: it would otherwise come first again forever.
bool deleteKeyTree(HKEY parent, const std::string& name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(parent, name.c_str(), 0, kDeleteTreeAccess, &opened) != ERROR_SUCCESS) return false;
  {
    const UniqueHkey key(opened);
    std::string child;
    while (firstSubKey(key.get(), child))
      if (!deleteKeyTree(key.get(), child)) return false;
  }
  return RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

// The .tlb file beside a module: its path with the file name's extension
// replaced by ".tlb", or ".tlb" added when the name has none.
std::string typeLibBeside(const std::string& modulePath) {
  const std::size_t nameStart = modulePath.rfind('/') + 1;  // 0 when there is no directory
  const std::size_t dot = modulePath.rfind('.');
  const std::size_t extension = dot != std::string::npos && dot >= nameStart ? dot : modulePath.size();
  return modulePath.substr(0, extension) + ".tlb";
}

}  // namespace

HRESULT registerKeyGeneratorClass(const std::string& modulePath) {
  ClassDescription described;
  HRESULT result = describeClass(modulePath, described);
  if (SUCCEEDED(result)) result = writeEntries(serverEntries(modulePath, described));
  if (SUCCEEDED(result)) result = RegisterTypeLib(described.library.get(), platform::utf8ToWide(modulePath).c_str(), nullptr);
  // The control entries do not depend on the type library; their results are not part of the outcome.
  for (const Entry& entry : controlEntries(modulePath)) writeEntry(entry);
  return result;
}

HRESULT unregisterKeyGeneratorClass(const std::string& modulePath) {
  ClassDescription described;
  const HRESULT result = describeClass(modulePath, described);
  if (FAILED(result)) return result;
  deleteKeyTree(HKEY_CLASSES_ROOT, classKey());
  deleteKeyTree(HKEY_CLASSES_ROOT, kProgId);
  return S_OK;
}

HRESULT registerModuleTypeLib(const std::string& modulePath) {
  std::string loadedFrom = modulePath;
  ComPtr<ITypeLib> library;
  HRESULT result = LoadTypeLib(platform::utf8ToWide(loadedFrom).c_str(), library.put());
  if (FAILED(result)) {
    loadedFrom = typeLibBeside(modulePath);
    result = LoadTypeLib(platform::utf8ToWide(loadedFrom).c_str(), library.put());
  }
  if (FAILED(result)) return result;
  const std::string helpDirectory = loadedFrom.substr(0, loadedFrom.rfind('/') + 1);
  return RegisterTypeLib(library.get(), platform::utf8ToWide(loadedFrom).c_str(),
                         platform::utf8ToWide(helpDirectory).c_str());
}

}  // namespace tarvenholm
