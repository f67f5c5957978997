// Fault switch: makes a chosen platform call fail on purpose.
//
// Test builds only (TARVENHOLM_FAULTS). A platform function that can fail
// starts with `if (FAULT("CryptGenKey")) return FALSE;`: when the switch is
// armed for that name the last error is set to the armed error and the call
// fails. Allocation points use their own names ("LocalAlloc", ...).
//
// Arming: faultArm(name, nth, error) from a test, or the environment variable
// TARVENHOLM_FAULTS="name[:nth[:error]][,name...]" read at first use, so a
// host started by a test inherits it across exec. nth counts the uses of the
// name from arming, starting at 1; nth 0 fails every use. The error is a
// number in decimal or 0x-hexadecimal; when absent the call's own default
// is used.
#pragma once

#include "platform/wintypes.h"

#ifdef TARVENHOLM_FAULTS

namespace platform {
// True when this use of `name` is to fail; sets the last error then.
bool faultHit(const char* name, DWORD defaultError);
void faultArm(const char* name, unsigned nth, DWORD error);
void faultReset();
// How many times `name` has been reached since the last reset.
unsigned faultUses(const char* name);
}  // namespace platform

#define FAULT(name, defaultError) ::platform::faultHit((name), (defaultError))

#else

#define FAULT(name, defaultError) false

#endif
