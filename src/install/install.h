// Installation of an issued certificate collection into the current user's
// certificate stores: authority certificates into "ROOT" or "CA", the user's
// own certificate into "MY", bound to the key container that holds its
// private key through the key-provider property.
//
// Every operation returns 2000 (kSuccess) or a negative result code, and
// shows its failure in a message box before it returns.
#pragma once

#include <string>

#include "platform/wincrypt.h"

namespace tarvenholm {

// Decodes `text` (base64 of a DER PKCS#7 collection; line breaks and armour
// lines allowed) and walks its certificates in the collection's order:
//   - a certificate whose public key has a key record naming a container
//     this user has is the user's, whatever its basic constraints: it is
//     bound through that record (linkUserCert);
//   - else a certificate whose first basic-constraints extension says cA
//     TRUE is an authority: "ROOT" when its issuer and subject encodings are
//     the same bytes, else "CA" (addCACert);
//   - else a certificate without basic constraints is ignored, and any other
//     is a user's certificate without a record (-1).
// The result is that of the last certificate acted on (2000 when none was),
// except that a failure stays the result when a later certificate succeeds.
// A user's certificate whose key identifier cannot be computed (-4), that
// has no key record (-1) or whose record names no container or provider (-2)
// ends the walk; what was placed before stays. -9 when the text does not
// decode to a collection, -6 when there is no memory for the decoded bytes.
int installCert(const char* text);

// Adds an authority certificate to the current user's store `storeName`
// ("CA" or "ROOT"), keeping a copy already there. 2000, -8 (store not
// opened) or -7 (not added).
int addCACert(PCCERT_CONTEXT certificate, const char16_t* storeName);

// Adds the user's certificate to the current user's "MY" store, replacing a
// copy already there, and sets on the store's copy the key-provider property
// naming `containerName` in `providerName` (key exchange pair, a container of
// the user). 2000; -28 when the provider is not installed (or of an excluded
// type); -8 (store not opened), -7 (not added); -3 when the property cannot
// be set, or when a name is longer than the property's 1023 characters (the
// store is then left untouched).
int linkUserCert(PCCERT_CONTEXT certificate, const std::string& containerName, const std::string& providerName);

}  // namespace tarvenholm
