// One operation of the host (a request, an installation, a registration, an
// export, ...) as one registry transaction: whatever the control, the
// stores and the key providers change during it becomes durable together,
// at save(), or not at all if the process dies first.
//
// Open it after the control exists (a first run's registration of the
// module is an operation of its own) and before the operation's first
// call; save before printing the operation's result, so that nothing is
// reported that a crash could still take back:
//
//   Operation operation;
//   ... calls of the control, stores, providers ...
//   if (!operation.save()) return kExitFailure;
//   std::printf(...);
#pragma once

#include "platform/registry_transaction.h"

namespace tarvenholm::host {

class Operation {
 public:
  // True once every change is durable; false, having said why, when they
  // could not be saved (none of them then is).
  bool save();

 private:
  platform::RegistryTransaction transaction_;
};

}  // namespace tarvenholm::host
