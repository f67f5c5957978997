// Where the host gets its control from: by the control's program
// identifier, as every host of the control does, from the module that is
// registered for it. On a home where the control is not registered yet, the
// module this host was installed with is registered first.
#pragma once

#include <string>

#include "platform/comptr.h"
#include "platform/oaidl.h"

namespace tarvenholm::host {

// A new keyGenerator control, asked for its dispatch interface. Registering
// the module on the way is said on standard error unless `quiet`; a failure
// to register is reported there too.
HRESULT createControl(platform::ComPtr<IDispatch>& control, bool quiet);

// The control's module that this host was installed with: beside the host in
// a build tree, in lib/tarvenholm of an installed prefix. Empty, with a
// failure reported, when there is none.
std::string installedModulePath();

// A library installed with the host: beside it in a build tree, else in
// the installed library directory (`searched`). Empty when in neither.
std::string installedLibraryPath(const std::string& file, std::string& searched);

// Loads the module and runs one of its registration entry points
// ("DllRegisterServer" or "DllUnregisterServer"); its result, or the
// failure to load the module or find the entry point.
HRESULT callRegistrationEntryPoint(const std::string& modulePath, const char* entryPoint);

// "0x80070005", the way results are shown to the user.
std::string resultCode(HRESULT result);

}  // namespace tarvenholm::host
