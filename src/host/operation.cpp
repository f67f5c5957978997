#include "host/operation.h"

#include "host/console.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {

bool Operation::save() {
  const LSTATUS status = transaction_.commit();
  if (status == ERROR_SUCCESS) return true;
  if (reportStateFailure()) return false;
  const std::string reason = platformErrorText(static_cast<unsigned long>(status));
  reportFailure({"cannot save the changes: " + reason, "no se pudieron guardar los cambios: " + reason});
  return false;
}

}  // namespace tarvenholm::host
