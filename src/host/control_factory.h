// Where the host gets its control from.
#pragma once

#include "platform/comptr.h"
#include "platform/oaidl.h"

namespace tarvenholm::host {

// A new keyGenerator control, asked for its dispatch interface.
HRESULT createControl(platform::ComPtr<IDispatch>& control);

}  // namespace tarvenholm::host
