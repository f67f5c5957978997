// What the module keeps for its class: the lock count behind
// DllCanUnloadNow and the class factory behind DllGetClassObject.
#pragma once

#include "platform/objbase.h"

namespace tarvenholm {

// Live control objects plus the class factory's LockServer locks.
LONG moduleLockCount();
void lockModule();
void unlockModule();

// Creates a keyGenerator control and asks it for `iid`; aggregated under
// `outer` when one is given, which may then only ask for IID_IUnknown
// (CLASS_E_NOAGGREGATION otherwise).
HRESULT createKeyGenerator(IUnknown* outer, REFIID iid, void** object);

// The class factory of keyGenerator, asked for `iid`: created on the first
// request, under a lock so that concurrent first requests share it, and kept
// until releaseClassObjects(). The kept factory does not count as a lock.
HRESULT keyGeneratorClassObject(REFIID iid, void** object);
// Drops the kept factory (module unload); references handed out stay valid.
void releaseClassObjects();

}  // namespace tarvenholm
