#include <cstdlib>
#include <cstring>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/objbase.h"

namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";
// Registry form: braces around 8-4-4-4-12 digits.
constexpr std::size_t guidTextLength = 38;

int hexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// The identifier's 16 bytes in text order: Data1..Data3 big-endian, then Data4.
void textOrderBytes(REFGUID guid, BYTE bytes[16]) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(guid.Data1 >> (24 - 8 * i));
  bytes[4] = static_cast<BYTE>(guid.Data2 >> 8);
  bytes[5] = static_cast<BYTE>(guid.Data2);
  bytes[6] = static_cast<BYTE>(guid.Data3 >> 8);
  bytes[7] = static_cast<BYTE>(guid.Data3);
  std::memcpy(bytes + 8, guid.Data4, 8);
}

bool isDashPosition(std::size_t index) { return index == 9 || index == 14 || index == 19 || index == 24; }

// Parses characters of any width; the text must be exactly the registry form.
template <class Char>
bool parseRegistryForm(const Char* text, std::size_t length, GUID& guid) {
  if (length != guidTextLength || text[0] != '{' || text[guidTextLength - 1] != '}') return false;
  BYTE bytes[16] = {};
  int nibbles = 0;
  for (std::size_t i = 1; i + 1 < guidTextLength; ++i) {
    const char32_t c = static_cast<char32_t>(text[i]);
    if (isDashPosition(i)) {
      if (c != '-') return false;
      continue;
    }
    const int value = hexValue(c);
    if (value < 0) return false;
    bytes[nibbles / 2] = static_cast<BYTE>((bytes[nibbles / 2] << 4) | value);
    ++nibbles;
  }
  guid.Data1 = (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) | bytes[3];
  guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.Data4, bytes + 8, 8);
  return true;
}

std::size_t wideLength(LPCOLESTR text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

HRESULT allocateText(REFGUID guid, LPOLESTR* text) {
  if (text == nullptr) return E_INVALIDARG;
  *text = static_cast<LPOLESTR>(CoTaskMemAlloc((guidTextLength + 1) * sizeof(OLECHAR)));
  if (*text == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(guid, *text, guidTextLength + 1);
  return S_OK;
}

thread_local unsigned comInitializations = 0;

}  // namespace

namespace platform {

std::string guidText(REFGUID guid) {
  BYTE bytes[16];
  textOrderBytes(guid, bytes);
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hexDigits[bytes[i] >> 4];
    text += hexDigits[bytes[i] & 0xF];
  }
  text += '}';
  return text;
}

bool parseGuid(std::string_view text, GUID& guid) { return parseRegistryForm(text.data(), text.size(), guid); }

}  // namespace platform

int StringFromGUID2(REFGUID rguid, LPOLESTR text, int cchMax) {
  if (text == nullptr || cchMax < static_cast<int>(guidTextLength + 1)) return 0;
  const std::string narrow = platform::guidText(rguid);
  for (std::size_t i = 0; i < narrow.size(); ++i) text[i] = static_cast<OLECHAR>(narrow[i]);
  text[narrow.size()] = 0;
  return static_cast<int>(narrow.size() + 1);
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) { return allocateText(clsid, text); }

HRESULT StringFromIID(REFIID iid, LPOLESTR* text) { return allocateText(iid, text); }

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  if (text == nullptr) {
    *clsid = CLSID_NULL;
    return S_OK;
  }
  return parseRegistryForm(text, wideLength(text), *clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) {
  if (iid == nullptr) return E_INVALIDARG;
  if (text == nullptr) {
    *iid = IID_NULL;
    return S_OK;
  }
  return parseRegistryForm(text, wideLength(text), *iid) ? S_OK : E_INVALIDARG;
}

void* CoTaskMemAlloc(SIZE_T bytes) {
  if (FAULT("CoTaskMemAlloc", ERROR_OUTOFMEMORY)) return nullptr;
  return std::malloc(bytes ? bytes : 1);
}

void CoTaskMemFree(void* memory) { std::free(memory); }

HRESULT CoInitialize(void*) {
  if (FAULT("CoInitialize", ERROR_OUTOFMEMORY)) return E_OUTOFMEMORY;
  return comInitializations++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (comInitializations > 0) --comInitializations;
}
