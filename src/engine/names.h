// The names string that names a request's subject: entries of the form
// type "=" value, separated by ";" or line breaks, each type one of the
// dotted identifiers of knownAttributeTypes. checkNames accepts or refuses
// a string; parseNames turns an accepted one into the attribute list from
// which request generation encodes the subject's one multi-valued RDN.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "platform/wincrypt.h"

namespace tarvenholm {

// One attribute, laid out like the platform's CERT_RDN_ATTR so that a list
// can be handed to the encoder as the attribute array of a CERT_RDN. Both
// texts are zero-terminated copies from the local heap, owned by the record.
// valueLength and value stand where the platform's value blob stands, which
// starts on the blob's own alignment (after padding on 64-bit systems).
struct NameAttribute {
  char* oid;        // the trimmed type, e.g. "2.5.4.3"
  DWORD valueType;  // CERT_RDN_IA5_STRING, CERT_RDN_PRINTABLE_STRING or CERT_RDN_UTF8_STRING
  alignas(CERT_RDN_VALUE_BLOB) DWORD valueLength;  // bytes of the trimmed value, without terminator
  char* value;  // the trimmed value, byte for byte as in the names string
};

static_assert(sizeof(NameAttribute) == sizeof(CERT_RDN_ATTR));
static_assert(offsetof(NameAttribute, oid) == offsetof(CERT_RDN_ATTR, pszObjId));
static_assert(offsetof(NameAttribute, valueType) == offsetof(CERT_RDN_ATTR, dwValueType));
static_assert(offsetof(NameAttribute, valueLength) ==
              offsetof(CERT_RDN_ATTR, Value) + offsetof(CERT_RDN_VALUE_BLOB, cbData));
static_assert(offsetof(NameAttribute, value) == offsetof(CERT_RDN_ATTR, Value) + offsetof(CERT_RDN_VALUE_BLOB, pbData));

// The accepted attribute types (X.520, and PKCS #9 for the e-mail address).
inline constexpr const char* kEmailAddressType = "1.2.840.113549.1.9.1";
inline constexpr std::array<const char*, 17> knownAttributeTypes = {
    "2.5.4.15",         // businessCategory
    "2.5.4.3",          // commonName
    "2.5.4.6",          // countryName
    "2.5.4.5",          // serialNumber
    "2.5.4.23",         // facsimileTelephoneNumber
    "2.5.4.42",         // givenName
    "2.5.4.43",         // initials
    "2.5.4.7",          // localityName
    "2.5.4.10",         // organizationName
    "2.5.4.11",         // organizationalUnitName
    "2.5.4.17",         // postalCode
    kEmailAddressType,  // emailAddress, always an IA5String
    "2.5.4.8",          // stateOrProvinceName
    "2.5.4.9",          // streetAddress
    "2.5.4.4",          // surname
    "2.5.4.20",         // telephoneNumber
    "2.5.4.12",         // title
};

// True when the string has at least one entry and every entry's type is
// known. A string without entries is refused after an information box; an
// unknown type is refused without one (the caller reports it).
bool checkNames(const char* names);

// The attribute list of a string that checkNames accepted, one record per
// entry in order, with the number of records in `count`. No list (and
// `count` untouched) for an empty string, after an information box, or when
// memory runs out. Release the list with freeNameAttributes.
NameAttribute* parseNames(const char* names, DWORD* count);

// Releases the texts of the first `count` records, then the array.
void freeNameAttributes(NameAttribute* list, DWORD count);

// Whole-text, byte-for-byte comparison with the identifiers of the table.
bool isKnownAttributeType(const char* type);

// True when every byte is in the PrintableString set (true for "").
bool isPrintableText(const char* text);

// Owns a list from parseNames.
struct NameAttributeListDeleter {
  DWORD count = 0;
  void operator()(NameAttribute* list) const { freeNameAttributes(list, count); }
};
using NameAttributeList = std::unique_ptr<NameAttribute, NameAttributeListDeleter>;

}  // namespace tarvenholm
