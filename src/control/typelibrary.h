// The control's type library: library Tarvenholm with the dual interface
// ITarvenholmX, the event interface ITarvenholmEvents, the class keyGenerator
// and the form's enumerations, as one model.
//
// The model is the only description of the control's automation surface:
// the object's dispatch, its class information and the serialised library
// that the module carries and registers are all made from it.
#pragma once

#include <memory>

#include "platform/typelib.h"

namespace tarvenholm {

// Built once and shared.
std::shared_ptr<const platform::LibraryModel> tarvenholmLibraryModel();

// The ITypeLib serving the model (one per module, created on first use).
HRESULT tarvenholmTypeLib(ITypeLib** typeLib);
// The type information of one of its types, by identifier.
HRESULT tarvenholmTypeInfo(REFGUID guid, ITypeInfo** typeInfo);

}  // namespace tarvenholm
