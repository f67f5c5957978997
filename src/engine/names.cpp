#include "engine/names.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/lasterror.h"
#include "support/errors.h"

namespace tarvenholm {
namespace {

struct Message {
  const char* english;
  const char* spanish;
};

constexpr Message kEmptyNamesMessage = {"An empty parameter was detected", "La cadena de nombres no puede ser vacía"};
constexpr Message kNoEntriesMessage = {"An invalid parameter was detected", "La cadena de nombres no es correcta"};

void showNamesMessage(const Message& message) { showInfoBox(localized(message.english, message.spanish)); }

// The 74 characters of ASN.1 PrintableString.
constexpr std::array<bool, 256> kPrintable = [] {
  std::array<bool, 256> table{};
  constexpr std::string_view set = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?";
  for (const char c : set) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool isBreak(char c) { return c == ';' || c == '\r' || c == '\n'; }

// Calls visit(entry) for each entry of the names string. Every ";" counts
// as the two bytes CR LF; a line runs up to the next CR, LF or the end, and
// is followed by one break: CR LF, or a CR or LF alone. So ";" is one break
// of its own, a break at the end adds no entry and "" has none.
template <typename Visit>
void forEachEntry(const char* names, Visit visit) {
  const char* at = names;
  while (*at != '\0') {
    const char* end = at;
    while (*end != '\0' && !isBreak(*end)) ++end;
    visit(std::string_view(at, static_cast<std::size_t>(end - at)));
    at = end;
    if (*at == ';') {
      ++at;
      continue;
    }
    if (*at == '\r') ++at;
    if (*at == '\n') ++at;
  }
}

std::size_t countEntries(const char* names) {
  std::size_t entries = 0;
  forEachEntry(names, [&entries](std::string_view) { ++entries; });
  return entries;
}

// Without the bytes 0x00 to 0x20 at either end.
std::string_view trimmed(std::string_view text) {
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

struct Entry {
  std::string_view type;
  std::string_view value;
};

// The type is the text before the first "=", the value all text after it;
// an entry without "=" has an empty type.
Entry splitEntry(std::string_view entry) {
  const std::size_t equals = entry.find('=');
  if (equals == std::string_view::npos) return {{}, trimmed(entry)};
  return {trimmed(entry.substr(0, equals)), trimmed(entry.substr(equals + 1))};
}

bool isKnownType(std::string_view type) {
  return std::any_of(knownAttributeTypes.begin(), knownAttributeTypes.end(),
                     [type](const char* known) { return type == known; });
}

// A zero-terminated copy from the local heap; null when memory runs out.
char* localCopy(std::string_view text) {
  auto* copy = static_cast<char*>(LocalAlloc(LPTR, text.size() + 1));
  if (copy != nullptr && !text.empty()) std::memcpy(copy, text.data(), text.size());
  return copy;
}

bool isEmpty(const char* names) { return names == nullptr || *names == '\0'; }

}  // namespace

bool isKnownAttributeType(const char* type) { return type != nullptr && isKnownType(type); }

bool isPrintableText(const char* text) {
  for (const char* at = text; *at != '\0'; ++at)
    if (!kPrintable[static_cast<unsigned char>(*at)]) return false;
  return true;
}

bool checkNames(const char* names) {
  if (isEmpty(names)) {
    showNamesMessage(kNoEntriesMessage);
    return false;
  }
  bool allKnown = true;
  forEachEntry(names, [&allKnown](std::string_view entry) {
    allKnown = allKnown && isKnownType(splitEntry(entry).type);
  });
  return allKnown;
}

NameAttribute* parseNames(const char* names, DWORD* count) {
  // A string with a first byte has at least one entry.
  if (isEmpty(names)) {
    showNamesMessage(kEmptyNamesMessage);
    return nullptr;
  }
  const std::size_t entries = countEntries(names);
  if (entries > std::numeric_limits<DWORD>::max() / sizeof(NameAttribute)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Zero-filled, so that a record not yet filled holds no texts to release.
  NameAttributeList list(static_cast<NameAttribute*>(LocalAlloc(LPTR, entries * sizeof(NameAttribute))),
                         NameAttributeListDeleter{static_cast<DWORD>(entries)});
  if (!list) return nullptr;
  NameAttribute* next = list.get();
  bool copied = true;
  forEachEntry(names, [&next, &copied](std::string_view text) {
    if (!copied) return;
    const Entry entry = splitEntry(text);
    NameAttribute& record = *next++;
    record.oid = localCopy(entry.type);
    record.value = localCopy(entry.value);
    copied = record.oid != nullptr && record.value != nullptr;
    if (!copied) return;
    record.valueLength = static_cast<DWORD>(entry.value.size());
    if (entry.type == kEmailAddressType)
      record.valueType = CERT_RDN_IA5_STRING;
    else
      record.valueType = isPrintableText(record.value) ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_UTF8_STRING;
  });
  if (!copied) return nullptr;
  *count = static_cast<DWORD>(entries);
  return list.release();
}

void freeNameAttributes(NameAttribute* list, DWORD count) {
  if (list == nullptr) return;
  for (DWORD i = 0; i < count; ++i) {
    LocalFree(list[i].oid);
    LocalFree(list[i].value);
  }
  LocalFree(list);
}

}  // namespace tarvenholm
