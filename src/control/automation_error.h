// Unexpected failures inside the control's members become automation
// errors: error information for the calling thread (description, source
// "Tarvenholm.keyGenerator", interface ITarvenholmX) and DISP_E_EXCEPTION,
// which a script host turns into a script error with that description.
#pragma once

#include <exception>
#include <stdexcept>

#include "platform/bstr.h"
#include "platform/hresult.h"

namespace tarvenholm {

// Thrown inside a member for a failure its result cannot express, such as
// running out of memory for the text it hands back.
class ControlFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text about to be handed back to the caller; null (no memory for it)
// throws ControlFailure, a failure the member cannot express through its
// result.
BSTR handBack(BSTR allocated);

// Records the error information (description in UTF-8) and returns
// `result` (DISP_E_EXCEPTION unless a member says otherwise). Recording may
// itself fail for want of memory; the result is the same.
HRESULT automationError(const char* description, HRESULT result = DISP_E_EXCEPTION) noexcept;

// Runs a member's work; an exception leaving it becomes an automation error
// carrying its message, so no exception crosses the interface.
template <class Work>
HRESULT guarded(Work&& work) noexcept {
  try {
    return work();
  } catch (const std::exception& failure) {
    return automationError(failure.what());
  } catch (...) {
    return automationError("Unexpected failure inside the control");
  }
}

}  // namespace tarvenholm
