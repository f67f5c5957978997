// The registry entries, under HKEY_CLASSES_ROOT, that make keyGenerator
// creatable by its class identifier and by its program identifier, written
// and removed for the module file at a given path.
#pragma once

#include <string>

#include "platform/objbase.h"

namespace tarvenholm {

// The class's registration: its server and program-identifier entries and
// its type library (read from the module), then its control entries, which
// are written even when the first part fails. Returns the first failure of
// the first part, else the type library registration's result.
HRESULT registerKeyGeneratorClass(const std::string& modulePath);

// Removes CLSID\{CLSID} and the program identifier's key with everything
// under them, depth first; failures of the deletions are not reported. Fails,
// removing nothing, when the module's type library cannot be read. The type
// library's own entries stay.
HRESULT unregisterKeyGeneratorClass(const std::string& modulePath);

// The module's type library registration: loaded from the module, else from
// the .tlb file beside it, and registered from where it was loaded, with that
// file's directory as help directory.
HRESULT registerModuleTypeLib(const std::string& modulePath);

}  // namespace tarvenholm
