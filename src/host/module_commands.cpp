// register and unregister: the module's entry points.
#include "host/commands.h"
#include "host/console.h"

namespace tarvenholm::host {
namespace {

int withoutModule(const char* command) {
  reportFailure({std::string(command) + ": this build of tarvenholm has no loadable module to register; "
                                        "the control is built into it",
                 std::string(command) + ": esta versión de tarvenholm no tiene un módulo que registrar; "
                                        "el control está incluido en ella"});
  return kExitUsage;
}

}  // namespace

int runRegister(Host&, const CommandLine&) { return withoutModule("register"); }
int runUnregister(Host&, const CommandLine&) { return withoutModule("unregister"); }

}  // namespace tarvenholm::host
