// register and unregister: the entry points of the control's module that
// this host was installed with.
#include "host/commands.h"
#include "host/console.h"
#include "host/operation.h"
#include "hosting/control_factory.h"

namespace tarvenholm::host {
namespace {

int runEntryPoint(const char* entryPoint) {
  const std::string module = hosting::installedModulePath(consoleReports(false));
  if (module.empty()) return kExitFailure;
  Operation operation;
  const HRESULT result = hosting::callRegistrationEntryPoint(module, entryPoint);
  if (!operation.save()) return kExitFailure;
  // DllUnregisterServer answers S_OK whatever it could remove: a hive it
  // could not change is the failure.
  if (reportStateFailure()) return kExitFailure;
  if (result == S_OK) return kExitSuccess;
  reportFailure({std::string(entryPoint) + " of " + module + " failed (" + hosting::resultCode(result) + ")",
                 std::string(entryPoint) + " de " + module + " falló (" + hosting::resultCode(result) + ")"});
  return kExitFailure;
}

}  // namespace

int runRegister(Host&, const CommandLine&) { return runEntryPoint("DllRegisterServer"); }
int runUnregister(Host&, const CommandLine&) { return runEntryPoint("DllUnregisterServer"); }

}  // namespace tarvenholm::host
