#include "engine/subject_name.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <iterator>

#include "engine/names.h"

namespace tarvenholm {
namespace {

constexpr const char* kCountryType = "2.5.4.6";
constexpr const char* kSerialNumberType = "2.5.4.5";
constexpr const char* kDomainComponentType = "0.9.2342.19200300.100.1.25";

struct ShortName {
  const char* name;
  const char* oid;
};

constexpr ShortName kShortNames[] = {
    {"CN", "2.5.4.3"},          {"O", "2.5.4.10"},
    {"OU", "2.5.4.11"},         {"C", kCountryType},
    {"L", "2.5.4.7"},           {"ST", "2.5.4.8"},
    {"E", kEmailAddressType},   {"emailAddress", kEmailAddressType},
    {"SERIALNUMBER", kSerialNumberType}, {"GN", "2.5.4.42"},
    {"SN", "2.5.4.4"},          {"DC", kDomainComponentType},
    {"UID", "0.9.2342.19200300.100.1.1"},
};

bool isDottedIdentifier(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string::npos) return false;
  for (const char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  return text.find('.') != std::string::npos;
}

std::optional<std::string> identifierOf(const std::string& type) {
  if (isDottedIdentifier(type)) return type;
  for (const ShortName& entry : kShortNames)
    if (::strcasecmp(entry.name, type.c_str()) == 0) return std::string(entry.oid);
  return std::nullopt;
}

bool isValidUtf8(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return false;
    for (std::size_t next = 1; next < length; ++next)
      if ((static_cast<unsigned char>(text[at + next]) >> 6) != 0x2) return false;
    at += length;
  }
  return true;
}

bool isAscii(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The value's string type, or the fault that keeps it out of the name.
std::string chooseType(SubjectAttribute& attribute, const std::string& type) {
  const std::string& value = attribute.value;
  if (attribute.oid == kCountryType) {
    if (value.size() != 2 || !std::isalpha(static_cast<unsigned char>(value[0])) ||
        !std::isalpha(static_cast<unsigned char>(value[1])))
      return "the country (" + type + ") must be two letters, not '" + value + "'";
    attribute.valueType = CERT_RDN_PRINTABLE_STRING;
  } else if (attribute.oid == kSerialNumberType) {
    if (!isPrintableText(value.c_str())) return "the serial number (" + type + ") must be printable ASCII text";
    attribute.valueType = CERT_RDN_PRINTABLE_STRING;
  } else if (attribute.oid == kEmailAddressType || attribute.oid == kDomainComponentType) {
    if (!isAscii(value)) return "the value of " + type + " must be ASCII text";
    attribute.valueType = CERT_RDN_IA5_STRING;
  } else if (isPrintableText(value.c_str())) {
    attribute.valueType = CERT_RDN_PRINTABLE_STRING;
  } else {
    if (!isValidUtf8(value)) return "the value of " + type + " is not valid UTF-8";
    attribute.valueType = CERT_RDN_UTF8_STRING;
  }
  if (value.find('\0') != std::string::npos) return "the value of " + type + " holds a NUL byte";
  return {};
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An RFC 4514 string, read left to right; RDNs come out in reading order.
class Rfc4514Reader {
 public:
  explicit Rfc4514Reader(const std::string& text) : text_(text) {}

  bool read(std::vector<SubjectRdn>& rdns, std::string& problem) {
    for (;;) {
      SubjectRdn rdn;
      for (;;) {
        SubjectAttribute attribute;
        std::string type;
        if (!readType(type, problem) || !readValue(type, attribute, problem)) return false;
        const std::string fault = chooseType(attribute, type);
        if (!fault.empty()) {
          problem = fault;
          return false;
        }
        rdn.push_back(std::move(attribute));
        if (at_ == text_.size() || text_[at_] != '+') break;
        ++at_;
      }
      rdns.push_back(std::move(rdn));
      if (at_ == text_.size()) return true;
      ++at_;  // the ',' that readValue stopped at
    }
  }

 private:
  void skipSpaces() {
    while (at_ < text_.size() && text_[at_] == ' ') ++at_;
  }

  bool malformed(std::string& problem, const std::string& why) {
    problem = "the subject is not a valid RFC 4514 name: " + why;
    return false;
  }

  bool readType(std::string& type, std::string& problem) {
    skipSpaces();
    const std::size_t equals = text_.find('=', at_);
    if (equals == std::string::npos) return malformed(problem, "'" + text_.substr(at_) + "' has no '='");
    type = trimmed(text_.substr(at_, equals - at_));
    if (type.empty()) return malformed(problem, "an attribute type is missing before '='");
    for (const char c : type)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
        return malformed(problem, "'" + type + "' is not an attribute type");
    at_ = equals + 1;
    return true;
  }

  bool readValue(const std::string& type, SubjectAttribute& attribute, std::string& problem) {
    const std::optional<std::string> oid = identifierOf(type);
    if (!oid) {
      problem = "the subject names an unknown attribute type '" + type + "'";
      return false;
    }
    attribute.oid = *oid;
    if (at_ < text_.size() && text_[at_] == '#')
      return malformed(problem, "the hexadecimal value of " + type + " is not supported; write the text");
    std::string& value = attribute.value;
    std::size_t keep = 0;  // the value's length up to its last character that is not an unescaped space
    for (; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c == ',' || c == '+') break;
      if (c == '"' || c == ';' || c == '<' || c == '>')
        return malformed(problem, std::string("'") + c + "' in the value of " + type + " must be escaped");
      if (c != '\\') {
        value.push_back(c);
        if (c != ' ') keep = value.size();
        continue;
      }
      if (at_ + 1 == text_.size()) return malformed(problem, "the value of " + type + " ends with a lone '\\'");
      const char next = text_[at_ + 1];
      const int high = hexDigit(next);
      if (high >= 0) {
        const int low = at_ + 2 < text_.size() ? hexDigit(text_[at_ + 2]) : -1;
        if (low < 0) return malformed(problem, "'\\" + std::string(1, next) + "' in the value of " + type + " is not a hex pair");
        value.push_back(static_cast<char>(high * 16 + low));
        at_ += 2;
      } else if (std::string(" \"#+,;<=>\\").find(next) != std::string::npos) {
        value.push_back(next);
        ++at_;
      } else {
        return malformed(problem, "'\\" + std::string(1, next) + "' in the value of " + type + " is not an escape");
      }
      keep = value.size();
    }
    value.resize(keep);
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

// genReq's names string: entries split at ";" and line breaks, trimmed.
bool readEntries(const std::string& text, std::vector<SubjectRdn>& rdns, std::string& problem) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find_first_of(";\r\n", start), text.size());
    const std::string entry = text.substr(start, end - start);
    start = end + 1;
    if (trimmed(entry).empty()) continue;
    const std::size_t equals = entry.find('=');
    const std::string type = trimmed(entry.substr(0, equals));
    if (equals == std::string::npos || !isDottedIdentifier(type)) {
      problem = "the subject entry '" + trimmed(entry) + "' is not of the form OID=value";
      return false;
    }
    SubjectAttribute attribute{type, trimmed(entry.substr(equals + 1)), CERT_RDN_UTF8_STRING};
    problem = chooseType(attribute, type);
    if (!problem.empty()) return false;
    rdns.push_back({std::move(attribute)});
  }
  return true;
}

}  // namespace

ParsedSubject parseSubject(const std::string& text, bool singleRdn) {
  ParsedSubject parsed;
  if (trimmed(text).empty()) {
    parsed.problem = "the subject is empty";
    return parsed;
  }
  // Unescaped ';' and line breaks never occur in RFC 4514 names: they mark genReq's entries.
  const std::size_t equals = text.find('=');
  const bool entries = equals != std::string::npos && isDottedIdentifier(trimmed(text.substr(0, equals))) &&
                       text.find_first_of(";\r\n") != std::string::npos;
  if (entries) {
    if (!readEntries(text, parsed.rdns, parsed.problem)) return parsed;
  } else {
    Rfc4514Reader reader(text);
    if (!reader.read(parsed.rdns, parsed.problem)) return parsed;
    std::reverse(parsed.rdns.begin(), parsed.rdns.end());
  }
  if (singleRdn) {
    SubjectRdn all;
    for (SubjectRdn& rdn : parsed.rdns) all.insert(all.end(), std::make_move_iterator(rdn.begin()), std::make_move_iterator(rdn.end()));
    parsed.rdns = {std::move(all)};
  }
  return parsed;
}

std::optional<std::vector<BYTE>> encodeSubject(const std::vector<SubjectRdn>& rdns) {
  std::vector<std::vector<CERT_RDN_ATTR>> attributes;
  std::vector<CERT_RDN> encoded;
  for (const SubjectRdn& rdn : rdns) {
    std::vector<CERT_RDN_ATTR>& list = attributes.emplace_back();
    for (const SubjectAttribute& attribute : rdn)
      list.push_back(CERT_RDN_ATTR{const_cast<char*>(attribute.oid.c_str()), attribute.valueType,
                                   {static_cast<DWORD>(attribute.value.size()),
                                    reinterpret_cast<BYTE*>(const_cast<char*>(attribute.value.data()))}});
  }
  for (std::vector<CERT_RDN_ATTR>& list : attributes)
    encoded.push_back(CERT_RDN{static_cast<DWORD>(list.size()), list.data()});
  const CERT_NAME_INFO name{static_cast<DWORD>(encoded.size()), encoded.data()};
  constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD length = 0;
  if (!CryptEncodeObject(kEncoding, X509_NAME, &name, nullptr, &length)) return std::nullopt;
  std::vector<BYTE> der(length);
  if (!CryptEncodeObject(kEncoding, X509_NAME, &name, der.data(), &length)) return std::nullopt;
  der.resize(length);
  return der;
}

}  // namespace tarvenholm
