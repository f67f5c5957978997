// OpenSSL's decoding of DER certificates and PKCS#7 messages for callers that
// read what they need from the DER themselves. OpenSSL builds a key object
// for every certificate's public key while it decodes, which costs about ten
// times the rest of the decoding; here the decoding runs in a library context
// that offers no key decoders, so no key object is built. What is accepted is
// the same: OpenSSL does not count a key it cannot decode against the
// certificate either. The results have no public key object
// (X509_get0_pubkey is null): use them to judge and read the structure only.
#pragma once

#include "platform/openssl_handles.h"

namespace platform {

// Decodes one PKCS#7 message from `cursor`, at most `length` bytes, and moves
// `cursor` past it, as d2i_PKCS7 does.
UniquePkcs7 decodePkcs7Structure(const unsigned char*& cursor, long length);

// Whether `bytes` are one PKCS#7 message and nothing else. The message is
// decoded for the answer, and handed on to the next decodePkcs7Structure of
// exactly these bytes instead of being decoded again: whoever checks what a
// collection is before passing it on pays for one decoding, not two.
bool isOnePkcs7Message(const unsigned char* bytes, std::size_t size);

// The same for one X.509 certificate, as d2i_X509 does.
UniqueX509 decodeCertificateStructure(const unsigned char*& cursor, long length);

}  // namespace platform
