// Key records as the control writes them for the keys it generates (which
// container of which provider holds the private key of a public key): the
// host writes one for a key it imports and removes those of a container it
// deletes.
#pragma once

#include <string>

#include "platform/wincrypt.h"

namespace tarvenholm::host {

// Records that the key of `certificate` is in `container` of `provider`.
// False with the last error set, and no record left.
bool writeKeyRecord(PCCERT_CONTEXT certificate, const std::string& container, const std::string& provider);

// Removes every record that names `container` of `provider`. False with the
// last error set.
bool deleteKeyRecords(const std::string& container, const std::string& provider);

}  // namespace tarvenholm::host
