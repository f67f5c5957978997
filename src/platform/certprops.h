// Extended properties of a certificate in their serialised form: how a
// context keeps them and how a system store writes them to the registry.
#pragma once

#include <optional>
#include <vector>

#include "platform/wincrypt.h"

namespace platform::certs {

// A property that callers may set: the registry value that persists it and
// the conversions between the caller's structure and the serialised form.
struct PropertyKind {
  DWORD id;
  const char* valueName;
  // What a caller passes to CertSetCertificateContextProperty; nothing when malformed.
  std::optional<std::vector<BYTE>> (*serialise)(const void* data);
  // Whether bytes read back from the registry are a well-formed serialised property.
  bool (*wellFormed)(const std::vector<BYTE>& bytes);
  // Lays the property out for CertGetCertificateContextProperty, its
  // pointers pointing into `buffer`; two-call sizing as copyOut.
  BOOL (*unpack)(const std::vector<BYTE>& bytes, void* buffer, DWORD* length);
};
const std::vector<PropertyKind>& settableProperties();
const PropertyKind* settableProperty(DWORD id);

// Copies bytes out with the platform's two-call sizing: with `buffer` null
// only the size is reported; ERROR_MORE_DATA (and the size) when `*length`
// is too small.
BOOL copyOut(const BYTE* bytes, std::size_t size, void* buffer, DWORD* length);

}  // namespace platform::certs
