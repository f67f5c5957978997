#include "control/automation_error.h"

#include <string>

#include "control/identifiers.h"
#include "platform/comptr.h"
#include "platform/oleauto.h"
#include "support/textconv.h"

namespace tarvenholm {

BSTR handBack(BSTR allocated) {
  if (allocated == nullptr) throw ControlFailure("Not enough memory for the text handed back");
  return allocated;
}

HRESULT automationError(const char* description, HRESULT result) noexcept {
  try {
    platform::ComPtr<ICreateErrorInfo> created;
    if (FAILED(CreateErrorInfo(created.put()))) return result;
    std::u16string text = systemToWide(description);
    std::u16string source = kProgIdWide;
    created->SetGUID(IID_ITarvenholmX);
    created->SetSource(source.data());
    created->SetDescription(text.data());
    SetErrorInfo(0, created.as<IErrorInfo>().get());
  } catch (...) {
    // No memory left even for the description: the result says enough.
  }
  return result;
}

}  // namespace tarvenholm
