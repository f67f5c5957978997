// The control's loadable module as the platform and hosts see it: a file
// loaded by path whose entry points are looked up by name, and the registry
// entries it writes, read back whole.
#pragma once

#include <map>
#include <string>

#include "platform/libloader.h"
#include "platform/objbase.h"
#include "platform/registry.h"

namespace testing_support {

// The module and its type library as the build leaves them.
std::string builtModulePath();
std::string builtTypeLibPath();

// Whether the library at `path` is loaded in this process now.
bool moduleIsLoaded(const std::string& path);

// Loads the module at `path` and finds its four entry points; unloads it
// (gives up its reference) when it goes.
class ControlModule {
 public:
  explicit ControlModule(const std::string& path = builtModulePath());
  ~ControlModule();
  ControlModule(const ControlModule&) = delete;
  ControlModule& operator=(const ControlModule&) = delete;

  const std::string& path() const { return path_; }
  HMODULE handle() const { return handle_; }

  HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object) const;
  HRESULT canUnloadNow() const;
  HRESULT registerServer() const;
  HRESULT unregisterServer() const;

  // Gives up the reference now.
  void unload();

 private:
  std::string path_;
  HMODULE handle_ = nullptr;
  DllGetClassObjectFunction getClassObject_ = nullptr;
  DllCanUnloadNowFunction canUnloadNow_ = nullptr;
  HRESULT (*registerServer_)() = nullptr;
  HRESULT (*unregisterServer_)() = nullptr;
};

// Every key and value under `key` of `root` (the key itself included), as
// "path" -> "" for a key and "path|value name" -> "type:data" for a value;
// names as stored, data of REG_SZ values as written, terminator included.
std::map<std::string, std::string> registryTree(HKEY root, const std::string& key);

// A REG_SZ value without its terminator; empty when it is missing. `written`
// tells whether it exists, and fails the test when it was written without
// its terminating zero.
std::string registryText(const std::string& key, const char* valueName = nullptr, bool* written = nullptr);

}  // namespace testing_support
