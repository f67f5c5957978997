// Subjects of modern requests: the RFC 4514 form users know
// ("CN=Ana Ruiz,O=Example,C=MX") and the "OID=value" entries of genReq's
// names string, turned into relative distinguished names with the string
// types RFC 5280 asks for.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/wincrypt.h"

namespace tarvenholm {

struct SubjectAttribute {
  std::string oid;  // dotted
  std::string value;
  DWORD valueType = CERT_RDN_UTF8_STRING;  // CERT_RDN_PRINTABLE_STRING, CERT_RDN_IA5_STRING or CERT_RDN_UTF8_STRING
};
using SubjectRdn = std::vector<SubjectAttribute>;

struct ParsedSubject {
  std::vector<SubjectRdn> rdns;  // in encoding order
  std::string problem;           // set when the text is refused: one line naming the fault
};

// Reads `text` and chooses each value's string type:
//   - RFC 4514 ("CN=a,O=b+OU=c"): short names CN, O, OU, C, L, ST, E or
//     emailAddress, SERIALNUMBER, GN, SN, DC, UID (any letter case) or dotted
//     identifiers; escapes and "#" hex values as RFC 4514 defines; the last
//     RDN is encoded first. Spaces after a separator are allowed.
//   - entries "OID=value" separated by ";" or line breaks (genReq's names
//     string, recognised by a dotted identifier before the first "="): one
//     RDN per entry, encoded in the order given.
// countryName must be two letters and, with serialNumber, a PrintableString;
// emailAddress and domainComponent are IA5String (ASCII); other values are
// PrintableString when every byte allows it, else UTF8String (valid UTF-8).
// With `singleRdn` every attribute goes into one multi-valued RDN, in
// encoding order.
ParsedSubject parseSubject(const std::string& text, bool singleRdn);

// The DER Name of parsed RDNs, through the platform's name encoder; nothing
// (last error set) when the encoder refuses it.
std::optional<std::vector<BYTE>> encodeSubject(const std::vector<SubjectRdn>& rdns);

}  // namespace tarvenholm
