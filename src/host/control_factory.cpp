#include "host/control_factory.h"

#include "control/module_state.h"

namespace tarvenholm::host {

// Through the control's class factory, linked into the host.
HRESULT createControl(platform::ComPtr<IDispatch>& control) {
  platform::ComPtr<IClassFactory> factory;
  HRESULT result = keyGeneratorClassObject(IID_IClassFactory, factory.putVoid());
  if (FAILED(result)) return result;
  return factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid());
}

}  // namespace tarvenholm::host
