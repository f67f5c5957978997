#include "platform/certprops.h"

#include <cstring>
#include <string>

#include "platform/lasterror.h"
#include "platform/little_endian.h"

namespace platform::certs {
namespace {

// The key-provider property, serialised little-endian:
//   provider type, flags, dwKeySpec (32 bits each),
//   container name, provider name (each a 32-bit count of UTF-16 units, or
//   0xFFFFFFFF for a null pointer, then the units),
//   parameter count, then per parameter: id, flags, size, bytes.
constexpr DWORD kNullText = 0xFFFFFFFF;

void putText(LittleEndianWriter& out, LPCWSTR text) {
  if (text == nullptr)
    out.number(kNullText);
  else
    out.text(text);
}

std::optional<std::u16string> readText(MemoryReader& in) {
  const DWORD count = in.number<DWORD>();
  if (count == kNullText) return std::nullopt;
  return in.units(count);
}

struct KeyProvParameter {
  DWORD id = 0;
  DWORD flags = 0;
  const BYTE* data = nullptr;
  DWORD size = 0;
};

struct KeyProvFields {
  DWORD provType = 0;
  DWORD flags = 0;
  DWORD keySpec = 0;
  std::optional<std::u16string> container;
  std::optional<std::u16string> provider;
  std::vector<KeyProvParameter> parameters;
};

std::optional<KeyProvFields> readKeyProvInfo(const std::vector<BYTE>& bytes) {
  MemoryReader in(bytes);
  KeyProvFields fields;
  fields.provType = in.number<DWORD>();
  fields.flags = in.number<DWORD>();
  fields.keySpec = in.number<DWORD>();
  fields.container = readText(in);
  fields.provider = readText(in);
  for (DWORD count = in.number<DWORD>(); count > 0 && in.ok(); --count) {
    KeyProvParameter parameter;
    parameter.id = in.number<DWORD>();
    parameter.flags = in.number<DWORD>();
    parameter.size = in.number<DWORD>();
    parameter.data = in.bytes(parameter.size);
    fields.parameters.push_back(parameter);
  }
  if (!in.atEnd()) return std::nullopt;
  return fields;
}

std::optional<std::vector<BYTE>> serialiseKeyProvInfo(const void* data) {
  const auto& info = *static_cast<const CRYPT_KEY_PROV_INFO*>(data);
  if (info.cProvParam != 0 && info.rgProvParam == nullptr) return std::nullopt;
  LittleEndianWriter out;
  out.number(info.dwProvType);
  out.number(info.dwFlags);
  out.number(info.dwKeySpec);
  putText(out, info.pwszContainerName);
  putText(out, info.pwszProvName);
  out.number(info.cProvParam);
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& parameter = info.rgProvParam[i];
    if (parameter.cbData != 0 && parameter.pbData == nullptr) return std::nullopt;
    out.number(parameter.dwParam);
    out.number(parameter.dwFlags);
    out.number(parameter.cbData);
    out.raw(parameter.pbData, parameter.cbData);
  }
  return out.take();
}

constexpr std::size_t alignUp(std::size_t offset, std::size_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

// The structure, its parameter array, the parameters' bytes, then the two
// names, all in one caller's buffer.
BOOL unpackKeyProvInfo(const std::vector<BYTE>& bytes, void* buffer, DWORD* length) {
  std::optional<KeyProvFields> fields = readKeyProvInfo(bytes);
  if (!fields) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return FALSE;
  }
  const std::size_t parametersAt = alignUp(sizeof(CRYPT_KEY_PROV_INFO), alignof(CRYPT_KEY_PROV_PARAM));
  std::size_t end = parametersAt + fields->parameters.size() * sizeof(CRYPT_KEY_PROV_PARAM);
  for (const KeyProvParameter& parameter : fields->parameters) end += parameter.size;
  end = alignUp(end, alignof(WCHAR));
  const std::size_t containerAt = end;
  if (fields->container) end += (fields->container->size() + 1) * sizeof(WCHAR);
  const std::size_t providerAt = end;
  if (fields->provider) end += (fields->provider->size() + 1) * sizeof(WCHAR);

  if (buffer == nullptr) {
    *length = static_cast<DWORD>(end);
    return TRUE;
  }
  if (*length < end) {
    *length = static_cast<DWORD>(end);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  auto* base = static_cast<BYTE*>(buffer);
  std::memset(base, 0, end);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(base);
  info->dwProvType = fields->provType;
  info->dwFlags = fields->flags;
  info->dwKeySpec = fields->keySpec;
  info->cProvParam = static_cast<DWORD>(fields->parameters.size());
  auto* parameters = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(base + parametersAt);
  info->rgProvParam = fields->parameters.empty() ? nullptr : parameters;
  BYTE* data = base + parametersAt + fields->parameters.size() * sizeof(CRYPT_KEY_PROV_PARAM);
  for (const KeyProvParameter& parameter : fields->parameters) {
    *parameters++ = CRYPT_KEY_PROV_PARAM{parameter.id, parameter.size ? data : nullptr, parameter.size, parameter.flags};
    if (parameter.size) std::memcpy(data, parameter.data, parameter.size);
    data += parameter.size;
  }
  auto placeText = [base](const std::optional<std::u16string>& text, std::size_t at) -> LPWSTR {
    if (!text) return nullptr;
    auto* units = reinterpret_cast<WCHAR*>(base + at);
    std::memcpy(units, text->c_str(), (text->size() + 1) * sizeof(WCHAR));
    return units;
  };
  info->pwszContainerName = placeText(fields->container, containerAt);
  info->pwszProvName = placeText(fields->provider, providerAt);
  *length = static_cast<DWORD>(end);
  return TRUE;
}

bool wellFormedKeyProvInfo(const std::vector<BYTE>& bytes) { return readKeyProvInfo(bytes).has_value(); }

const std::vector<PropertyKind> kSettable = {
    {CERT_KEY_PROV_INFO_PROP_ID, "KeyProvInfo", serialiseKeyProvInfo, wellFormedKeyProvInfo, unpackKeyProvInfo},
};

}  // namespace

const std::vector<PropertyKind>& settableProperties() { return kSettable; }

const PropertyKind* settableProperty(DWORD id) {
  for (const PropertyKind& kind : kSettable)
    if (kind.id == id) return &kind;
  return nullptr;
}

BOOL copyOut(const BYTE* bytes, std::size_t size, void* buffer, DWORD* length) {
  if (buffer == nullptr) {
    *length = static_cast<DWORD>(size);
    return TRUE;
  }
  if (*length < size) {
    *length = static_cast<DWORD>(size);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (size) std::memcpy(buffer, bytes, size);
  *length = static_cast<DWORD>(size);
  return TRUE;
}

}  // namespace platform::certs
