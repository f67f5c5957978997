#include "platform/certprops.h"

#include <cstring>
#include <string>

#include "platform/lasterror.h"

namespace platform::certs {
namespace {

// The key-provider property, serialised little-endian:
//   provider type, flags, dwKeySpec (32 bits each),
//   container name, provider name (each a 32-bit count of UTF-16 units, or
//   0xFFFFFFFF for a null pointer, then the units),
//   parameter count, then per parameter: id, flags, size, bytes.
constexpr DWORD kNullText = 0xFFFFFFFF;

void putDword(std::vector<BYTE>& out, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<BYTE>(value >> shift));
}

void putText(std::vector<BYTE>& out, LPCWSTR text) {
  if (text == nullptr) {
    putDword(out, kNullText);
    return;
  }
  const std::u16string_view units(text);
  putDword(out, static_cast<DWORD>(units.size()));
  for (char16_t unit : units) {
    out.push_back(static_cast<BYTE>(unit));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
}

class Reader {
 public:
  explicit Reader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
  bool dword(DWORD& value) {
    if (bytes_.size() - offset_ < 4) return false;
    value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes_[offset_ + static_cast<std::size_t>(i)];
    offset_ += 4;
    return true;
  }
  bool text(std::optional<std::u16string>& value) {
    DWORD count = 0;
    if (!dword(count)) return false;
    if (count == kNullText) {
      value.reset();
      return true;
    }
    if ((bytes_.size() - offset_) / 2 < count) return false;
    std::u16string units(count, u'\0');
    for (DWORD i = 0; i < count; ++i, offset_ += 2)
      units[i] = static_cast<char16_t>(bytes_[offset_] | (bytes_[offset_ + 1] << 8));
    value = std::move(units);
    return true;
  }
  bool bytes(DWORD count, const BYTE*& start) {
    if (bytes_.size() - offset_ < count) return false;
    start = bytes_.data() + offset_;
    offset_ += count;
    return true;
  }
  bool atEnd() const { return offset_ == bytes_.size(); }

 private:
  const std::vector<BYTE>& bytes_;
  std::size_t offset_ = 0;
};

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
  Reader reader(bytes);
  KeyProvFields fields;
  DWORD count = 0;
  if (!reader.dword(fields.provType) || !reader.dword(fields.flags) || !reader.dword(fields.keySpec) ||
      !reader.text(fields.container) || !reader.text(fields.provider) || !reader.dword(count))
    return std::nullopt;
  for (DWORD i = 0; i < count; ++i) {
    KeyProvParameter parameter;
    if (!reader.dword(parameter.id) || !reader.dword(parameter.flags) || !reader.dword(parameter.size) ||
        !reader.bytes(parameter.size, parameter.data))
      return std::nullopt;
    fields.parameters.push_back(parameter);
  }
  if (!reader.atEnd()) return std::nullopt;
  return fields;
}

std::optional<std::vector<BYTE>> serialiseKeyProvInfo(const void* data) {
  const auto& info = *static_cast<const CRYPT_KEY_PROV_INFO*>(data);
  if (info.cProvParam != 0 && info.rgProvParam == nullptr) return std::nullopt;
  std::vector<BYTE> out;
  putDword(out, info.dwProvType);
  putDword(out, info.dwFlags);
  putDword(out, info.dwKeySpec);
  putText(out, info.pwszContainerName);
  putText(out, info.pwszProvName);
  putDword(out, info.cProvParam);
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& parameter = info.rgProvParam[i];
    if (parameter.cbData != 0 && parameter.pbData == nullptr) return std::nullopt;
    putDword(out, parameter.dwParam);
    putDword(out, parameter.dwFlags);
    putDword(out, parameter.cbData);
    if (parameter.cbData != 0) out.insert(out.end(), parameter.pbData, parameter.pbData + parameter.cbData);
  }
  return out;
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
