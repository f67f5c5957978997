// Where a host of the control (the command line, the browser bridge) gets
// its control from: by the control's program identifier, from the module
// that is registered for it. On a home where the control is not registered
// yet, the module this host was installed with is registered first.
#pragma once

#include <functional>
#include <string>

#include "platform/comptr.h"
#include "platform/oaidl.h"

namespace tarvenholm::hosting {

// A text a host shows the user, in both languages.
struct Message {
  std::string english;
  std::string spanish;
};

// Where a host tells the user what happened on the way to its control.
struct Reports {
  std::function<void(const Message&)> failure;
  std::function<void(const Message&)> notice;
};

// A new keyGenerator control, asked for its dispatch interface. Registering
// the module on the way is a notice; a failure to register is a failure.
HRESULT createControl(platform::ComPtr<IDispatch>& control, const Reports& reports);

// The control's module that this host was installed with: beside the host in
// a build tree, in lib/tarvenholm of an installed prefix. Empty, with a
// failure reported, when there is none.
std::string installedModulePath(const Reports& reports);

// A library installed with the host: beside it in a build tree, else in
// the installed library directory (`searched`). Empty when in neither.
std::string installedLibraryPath(const std::string& file, std::string& searched);

// Loads the module and runs one of its registration entry points
// ("DllRegisterServer" or "DllUnregisterServer"); its result, or the
// failure to load the module or find the entry point.
HRESULT callRegistrationEntryPoint(const std::string& modulePath, const char* entryPoint);

// "0x80070005", the way results are shown to the user.
std::string resultCode(HRESULT result);

}  // namespace tarvenholm::hosting
