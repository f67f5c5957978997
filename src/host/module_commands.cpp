// register and unregister: the entry points of the control's module that
// this host was installed with.
#include "host/commands.h"
#include "host/console.h"
#include "host/control_factory.h"
#include "host/operation.h"

namespace tarvenholm::host {
namespace {

int runEntryPoint(const char* entryPoint) {
  const std::string module = installedModulePath();
  if (module.empty()) return kExitFailure;
  Operation operation;
  const HRESULT result = callRegistrationEntryPoint(module, entryPoint);
  if (!operation.save()) return kExitFailure;
  if (result == S_OK) return kExitSuccess;
  reportFailure({std::string(entryPoint) + " of " + module + " failed (" + resultCode(result) + ")",
                 std::string(entryPoint) + " de " + module + " falló (" + resultCode(result) + ")"});
  return kExitFailure;
}

}  // namespace

int runRegister(Host&, const CommandLine&) { return runEntryPoint("DllRegisterServer"); }
int runUnregister(Host&, const CommandLine&) { return runEntryPoint("DllUnregisterServer"); }

}  // namespace tarvenholm::host
