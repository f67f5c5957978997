// The names parser on arbitrary text: checkNames, parseNames and
// freeNameAttributes.
//
// The first byte chooses the run: bit 7 makes the nth local allocation fail
// (n from bits 0-5), so that every allocation failure of parseNames is
// tried and must neither leak nor hand back a half-filled list; bit 6 picks
// the message language. The rest, up to its first NUL, is the names string.
// The records must match a plain model of the splitting rules: one entry per
// line after every ";" became CR LF, type and value around the first "=",
// trimmed of the bytes 0x00 to 0x20.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/names.h"
#include "fuzz_support.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/errors.h"

namespace {

using fuzzing::check;

struct ModelEntry {
  std::string type;
  std::string value;
};

std::string trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  return std::string(text);
}

std::vector<ModelEntry> modelEntries(const std::string& names) {
  std::string lines;
  for (const char c : names) {
    if (c == ';')
      lines += "\r\n";
    else
      lines += c;
  }
  std::vector<ModelEntry> entries;
  std::size_t at = 0;
  while (at < lines.size()) {
    const std::size_t end = std::min(lines.find_first_of("\r\n", at), lines.size());
    const std::string_view line(lines.data() + at, end - at);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
      entries.push_back({"", trimmed(line)});
    else
      entries.push_back({trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1))});
    at = end;
    if (at < lines.size() && lines[at] == '\r') ++at;
    if (at < lines.size() && lines[at] == '\n') ++at;
  }
  return entries;
}

bool known(const std::string& type) {
  return std::any_of(tarvenholm::knownAttributeTypes.begin(), tarvenholm::knownAttributeTypes.end(),
                     [&type](const char* identifier) { return type == identifier; });
}

DWORD expectedValueType(const ModelEntry& entry) {
  if (entry.type == tarvenholm::kEmailAddressType) return CERT_RDN_IA5_STRING;
  constexpr std::string_view printable =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?";
  return entry.value.find_first_not_of(printable) == std::string::npos ? CERT_RDN_PRINTABLE_STRING
                                                                       : CERT_RDN_UTF8_STRING;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::useProcessHome();
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::string names(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text(names.c_str());  // up to the first NUL, as the parser reads it
  const std::vector<ModelEntry> entries = modelEntries(text);
  const bool allKnown =
      !entries.empty() && std::all_of(entries.begin(), entries.end(), [](const ModelEntry& e) { return known(e.type); });

  tarvenholm::setMessageLanguage((options & 0x40) != 0 ? tarvenholm::MessageLanguage::English
                                                       : tarvenholm::MessageLanguage::Spanish);
  check(tarvenholm::checkNames(names.c_str()) == allKnown, "checkNames follows the entry rules");

  const bool failAllocation = (options & 0x80) != 0;
#ifdef TARVENHOLM_FAULTS
  platform::faultReset();
  if (failAllocation) platform::faultArm("LocalAlloc", (options & 0x3F) + 1u, ERROR_NOT_ENOUGH_MEMORY);
#endif
  DWORD count = 0xFFFFFFFF;
  tarvenholm::NameAttribute* const list = tarvenholm::parseNames(names.c_str(), &count);
#ifdef TARVENHOLM_FAULTS
  platform::faultReset();
#endif
  if (list == nullptr) {
    check(count == 0xFFFFFFFF, "no list leaves the count alone");
    check(entries.empty() || failAllocation, "a string with entries gives a list unless memory runs out");
    return 0;
  }
  check(count == entries.size(), "one record per entry");
  for (DWORD i = 0; i < count; ++i) {
    const tarvenholm::NameAttribute& record = list[i];
    check(record.oid != nullptr && record.value != nullptr, "both texts are present");
    check(entries[i].type == record.oid, "oid is the trimmed type");
    check(record.valueLength == std::strlen(record.value), "valueLength is the value's length");
    check(entries[i].value == record.value, "value is the trimmed value");
    check(record.valueType == expectedValueType(entries[i]), "string type follows the value's bytes");
  }
  tarvenholm::freeNameAttributes(list, count);
  return 0;
}
