#include "testlib/control_module.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/lasterror.h"

namespace testing_support {
namespace {

template <class Function>
Function entryPoint(HMODULE module, const char* name) {
  const FARPROC found = GetProcAddress(module, name);
  EXPECT_NE(found, nullptr) << "the module exports " << name;
  return reinterpret_cast<Function>(found);
}

void addTree(HKEY root, const std::string& path, std::map<std::string, std::string>& tree) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return;
  const UniqueHkey key(opened);
  tree[path] = "";
  std::vector<char> name(1024);
  std::vector<BYTE> data(1 << 16);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueA(key.get(), index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) !=
        ERROR_SUCCESS)
      break;
    tree[path + "|" + std::string(name.data(), nameSize)] =
        std::to_string(type) + ":" + std::string(data.begin(), data.begin() + dataSize);
  }
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    if (RegEnumKeyExA(key.get(), index, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    const std::string child(name.data(), nameSize);
    addTree(root, path.empty() ? child : path + "\\" + child, tree);
  }
}

}  // namespace

std::string builtModulePath() { return TARVENHOLM_BINARY_DIR "/libtarvenholm-control.so"; }
std::string builtTypeLibPath() { return TARVENHOLM_BINARY_DIR "/libtarvenholm-control.tlb"; }

bool moduleIsLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

ControlModule::ControlModule(const std::string& path) : path_(path), handle_(LoadLibraryA(path.c_str())) {
  EXPECT_NE(handle_, nullptr) << "loading " << path << ": " << dlerror();
  if (handle_ == nullptr) return;
  getClassObject_ = entryPoint<DllGetClassObjectFunction>(handle_, "DllGetClassObject");
  canUnloadNow_ = entryPoint<DllCanUnloadNowFunction>(handle_, "DllCanUnloadNow");
  registerServer_ = entryPoint<HRESULT (*)()>(handle_, "DllRegisterServer");
  unregisterServer_ = entryPoint<HRESULT (*)()>(handle_, "DllUnregisterServer");
}

ControlModule::~ControlModule() { unload(); }

void ControlModule::unload() {
  if (handle_ != nullptr) FreeLibrary(handle_);
  handle_ = nullptr;
  getClassObject_ = nullptr;
  canUnloadNow_ = nullptr;
  registerServer_ = nullptr;
  unregisterServer_ = nullptr;
}

HRESULT ControlModule::getClassObject(REFCLSID clsid, REFIID iid, void** object) const {
  return getClassObject_ != nullptr ? getClassObject_(clsid, iid, object) : E_UNEXPECTED;
}
HRESULT ControlModule::canUnloadNow() const { return canUnloadNow_ != nullptr ? canUnloadNow_() : E_UNEXPECTED; }
HRESULT ControlModule::registerServer() const {
  return registerServer_ != nullptr ? registerServer_() : E_UNEXPECTED;
}
HRESULT ControlModule::unregisterServer() const {
  return unregisterServer_ != nullptr ? unregisterServer_() : E_UNEXPECTED;
}

std::map<std::string, std::string> registryTree(HKEY root, const std::string& key) {
  std::map<std::string, std::string> tree;
  addTree(root, key, tree);
  return tree;
}

std::string registryText(const std::string& key, const char* valueName, bool* written) {
  if (written != nullptr) *written = false;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
  const UniqueHkey opener(opened);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(opened, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  std::string data(size, '\0');
  if (RegQueryValueExA(opened, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS)
    return {};
  if (written != nullptr) *written = true;
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << key;
  EXPECT_TRUE(!data.empty() && data.back() == '\0') << key << " is written with its terminating zero";
  if (!data.empty() && data.back() == '\0') data.pop_back();
  return data;
}

}  // namespace testing_support
