// The current user's system stores ("MY", "CA", "ROOT", ...), kept in the
// user hive:
//
//   Software\Tarvenholm\SystemCertificates\<STORE>\Certificates
//       NextOrder        REG_DWORD   order number of the next new certificate
//       <THUMBPRINT>\    one key per certificate, named by its SHA-1 (40 upper-case hex digits)
//           Order        REG_DWORD   insertion order; a replaced certificate keeps its place
//           KeyProvInfo  REG_BINARY  the key-provider property, serialised (certprops.cpp)
//           Blob         REG_BINARY  the certificate's DER, written last
//
// The store name is kept upper-case. An entry whose Blob is missing, does
// not decode or does not match its key's name counts as absent: enumeration
// skips it and an add writes over it. Every operation touches only the keys
// of the certificates it concerns; only enumeration reads the whole store.
#include <algorithm>
#include <optional>
#include <string>

#include "platform/certstore.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/root_trust.h"

namespace platform::certs {
namespace {

constexpr const char* kStoresPath = "Software\\Tarvenholm\\SystemCertificates\\";
constexpr const char* kBlobValue = "Blob";
constexpr const char* kOrderValue = "Order";
constexpr const char* kNextOrderValue = "NextOrder";
// Entries without an order number go after every numbered one.
constexpr std::uint64_t kUnordered = std::uint64_t{1} << 32;

bool failWith(LSTATUS status) {
  SetLastError(static_cast<DWORD>(status));
  return false;
}

// The value's bytes; nothing when it is missing or not `type`.
std::optional<std::vector<BYTE>> readValue(HKEY key, const char* name, DWORD type) {
  for (;;) {
    DWORD actualType = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &actualType, nullptr, &size) != ERROR_SUCCESS || actualType != type)
      return std::nullopt;
    std::vector<BYTE> bytes(size);
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &actualType, bytes.data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // it grew in between
    if (status != ERROR_SUCCESS || actualType != type) return std::nullopt;
    bytes.resize(size);
    return bytes;
  }
}

std::optional<DWORD> readDword(HKEY key, const char* name) {
  std::optional<std::vector<BYTE>> bytes = readValue(key, name, REG_DWORD);
  if (!bytes || bytes->size() != sizeof(DWORD)) return std::nullopt;
  return static_cast<DWORD>((*bytes)[0] | (*bytes)[1] << 8 | (*bytes)[2] << 16 | static_cast<DWORD>((*bytes)[3]) << 24);
}

LSTATUS writeDword(HKEY key, const char* name, DWORD value) {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                         static_cast<BYTE>(value >> 24)};
  return RegSetValueExA(key, name, 0, REG_DWORD, bytes, sizeof bytes);
}

LSTATUS writeBytes(HKEY key, const char* name, const std::vector<BYTE>& bytes) {
  return RegSetValueExA(key, name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::optional<Thumbprint> thumbprintFromName(const char* name) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  Thumbprint thumbprint{};
  if (std::char_traits<char>::length(name) != thumbprint.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < thumbprint.size(); ++i) {
    const int high = digit(name[2 * i]);
    const int low = digit(name[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    thumbprint[i] = static_cast<BYTE>(high << 4 | low);
  }
  return thumbprint;
}

// Printable ASCII without the key separator, upper-cased; nothing otherwise.
std::optional<std::string> storeKeyName(const char16_t* name) {
  if (name == nullptr || *name == 0) return std::nullopt;
  std::string text;
  for (; *name != 0; ++name) {
    if (*name < 0x20 || *name > 0x7E || *name == u'\\' || text.size() == 255) return std::nullopt;
    const char c = static_cast<char>(*name);
    text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return text;
}

class SystemCertStore final : public CertStore {
 public:
  // `certificates` null: a store that does not exist yet, opened read-only.
  // `asksBeforeAdding`: the user's ROOT, which takes a new certificate only
  // when the user says Yes to it.
  SystemCertStore(UniqueHkey certificates, bool readOnly, bool asksBeforeAdding)
      : certificates_(std::move(certificates)), readOnly_(readOnly), asksBeforeAdding_(asksBeforeAdding) {}

 protected:
  bool systemStore() const override { return true; }
  Certificate* next(const StorePosition* after) override;
  bool lookup(const Thumbprint& thumbprint, Certificate*& found, const Certificate* adding) override;
  Certificate* insert(std::unique_ptr<Certificate> copy) override;
  Certificate* replace(Certificate& existing, std::unique_ptr<Certificate> copy) override;
  bool erase(Certificate& certificate) override;
  bool persistProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value) override;
  void unreferenced(Certificate& certificate) override { live_.erase(certificate.thumbprint()); }

 private:
  bool writable();
  bool loadOrder();
  bool takeOrderNumber(DWORD& order);
  // Writes or deletes every settable property of the entry as `certificate` has them.
  LSTATUS writeProperties(HKEY entry, const Certificate& certificate, bool clearMissing);
  Certificate* adopt(std::unique_ptr<Certificate> certificate, const StorePosition& position);

  UniqueHkey certificates_;
  bool readOnly_;
  bool asksBeforeAdding_;
  // Certificates with contexts out (or being worked on), by thumbprint.
  std::unordered_map<Thumbprint, std::unique_ptr<Certificate>, ThumbprintHash> live_;
  // The store's order, read when an enumeration starts and kept up to date
  // by this handle's own changes.
  std::vector<StorePosition> order_;
  bool orderLoaded_ = false;
};

bool SystemCertStore::writable() {
  if (!readOnly_) return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

Certificate* SystemCertStore::adopt(std::unique_ptr<Certificate> certificate, const StorePosition& position) {
  certificate->position = position;
  certificate->attached = true;
  certificate->joinStore(this);
  Certificate* adopted = certificate.get();
  live_[position.thumbprint] = std::move(certificate);
  return adopted;
}

bool SystemCertStore::loadOrder() {
  order_.clear();
  orderLoaded_ = true;
  if (!certificates_) return true;
  for (DWORD index = 0;; ++index) {
    char name[64];
    DWORD nameSize = sizeof name;
    const LSTATUS status =
        RegEnumKeyExA(certificates_.get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) continue;  // too long to be a thumbprint
    if (status != ERROR_SUCCESS) {
      orderLoaded_ = false;
      return failWith(status);
    }
    std::optional<Thumbprint> thumbprint = thumbprintFromName(name);
    HKEY raw = nullptr;
    if (!thumbprint || RegOpenKeyExA(certificates_.get(), name, 0, KEY_READ, &raw) != ERROR_SUCCESS) continue;
    UniqueHkey entry(raw);
    std::optional<DWORD> order = readDword(entry.get(), kOrderValue);
    order_.push_back(StorePosition{order ? *order : kUnordered, *thumbprint});
  }
  std::sort(order_.begin(), order_.end());
  return true;
}

Certificate* SystemCertStore::next(const StorePosition* after) {
  // Each enumeration from the start sees the store as it is now.
  if ((after == nullptr || !orderLoaded_) && !loadOrder()) return nullptr;
  auto it = after ? std::upper_bound(order_.begin(), order_.end(), *after) : order_.begin();
  for (; it != order_.end(); ++it) {
    Certificate* found = nullptr;
    if (!lookup(it->thumbprint, found, nullptr) || found == nullptr) continue;
    // The walk goes by the snapshot taken at its start. An entry whose order
    // reads differently now (read before its order was written, or taken out
    // and put back by another process) keeps its snapshot place, so it comes
    // once and the walk moves past it.
    found->position = *it;
    return found;
  }
  return nullptr;
}

bool SystemCertStore::lookup(const Thumbprint& thumbprint, Certificate*& found, const Certificate* adding) {
  found = nullptr;
  if (auto it = live_.find(thumbprint); it != live_.end()) {
    found = it->second.get();
    return true;
  }
  if (!certificates_) return true;
  HKEY raw = nullptr;
  const LSTATUS status = RegOpenKeyExA(certificates_.get(), thumbprintText(thumbprint).c_str(), 0, KEY_READ, &raw);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return failWith(status);
  UniqueHkey entry(raw);

  // Without its Blob an entry is one being written: not there yet.
  std::optional<std::vector<BYTE>> blob = readValue(entry.get(), kBlobValue, REG_BINARY);
  if (!blob) return true;
  std::unique_ptr<Certificate> certificate = adding != nullptr && *blob == adding->encoded()
                                                 ? adding->copy()
                                                 : Certificate::fromDer(blob->data(), blob->size());
  if (!certificate || certificate->thumbprint() != thumbprint) {
    noteDamaged(thumbprint);
    return true;
  }
  for (const PropertyKind& kind : settableProperties()) {
    std::optional<std::vector<BYTE>> value = readValue(entry.get(), kind.valueName, REG_BINARY);
    if (!value) continue;
    if (kind.wellFormed(*value))
      certificate->properties[kind.id] = std::move(*value);
    else
      noteDamaged(thumbprint);
  }
  std::optional<DWORD> order = readDword(entry.get(), kOrderValue);
  found = adopt(std::move(certificate), StorePosition{order ? *order : kUnordered, thumbprint});
  return true;
}

bool SystemCertStore::takeOrderNumber(DWORD& order) {
  order = readDword(certificates_.get(), kNextOrderValue).value_or(0);
  const LSTATUS status = writeDword(certificates_.get(), kNextOrderValue, order + 1);
  return status == ERROR_SUCCESS || failWith(status);
}

LSTATUS SystemCertStore::writeProperties(HKEY entry, const Certificate& certificate, bool clearMissing) {
  for (const PropertyKind& kind : settableProperties()) {
    auto it = certificate.properties.find(kind.id);
    LSTATUS status = ERROR_SUCCESS;
    if (it != certificate.properties.end())
      status = writeBytes(entry, kind.valueName, it->second);
    else if (clearMissing)
      status = RegDeleteValueA(entry, kind.valueName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
  }
  return ERROR_SUCCESS;
}

Certificate* SystemCertStore::insert(std::unique_ptr<Certificate> copy) {
  if (!writable() || (asksBeforeAdding_ && !confirmNewRoot(copy->encoded()))) return nullptr;
  const std::string name = thumbprintText(copy->thumbprint());
  HKEY raw = nullptr;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExA(certificates_.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &raw, &disposition);
  if (status != ERROR_SUCCESS) {
    failWith(status);
    return nullptr;
  }
  UniqueHkey entry(raw);
  // An entry that was there without counting as a certificate is written over.
  const bool reused = disposition == REG_OPENED_EXISTING_KEY;
  DWORD order = 0;
  if (takeOrderNumber(order)) {
    status = writeDword(entry.get(), kOrderValue, order);
    if (status == ERROR_SUCCESS) status = writeProperties(entry.get(), *copy, reused);
    // The Blob comes last: until it is written the entry does not count.
    if (status == ERROR_SUCCESS) status = writeBytes(entry.get(), kBlobValue, copy->encoded());
  } else {
    status = static_cast<LSTATUS>(GetLastError());
  }
  if (status != ERROR_SUCCESS) {
    entry.reset();
    if (!reused) RegDeleteKeyA(certificates_.get(), name.c_str());
    failWith(status);
    return nullptr;
  }
  const StorePosition position{order, copy->thumbprint()};
  if (orderLoaded_) order_.insert(std::upper_bound(order_.begin(), order_.end(), position), position);
  return adopt(std::move(copy), position);
}

Certificate* SystemCertStore::replace(Certificate& existing, std::unique_ptr<Certificate> copy) {
  if (!writable()) return nullptr;
  // Same thumbprint, same DER: only the properties change; the place in the order stays.
  HKEY raw = nullptr;
  LSTATUS status =
      RegOpenKeyExA(certificates_.get(), thumbprintText(existing.thumbprint()).c_str(), 0, KEY_ALL_ACCESS, &raw);
  if (status == ERROR_SUCCESS) {
    UniqueHkey entry(raw);
    status = writeProperties(entry.get(), *copy, true);
  }
  if (status != ERROR_SUCCESS) {
    failWith(status);
    return nullptr;
  }
  const StorePosition position = existing.position;
  std::unique_ptr<Certificate> old = std::move(live_[position.thumbprint]);
  Certificate* placed = adopt(std::move(copy), position);
  retire(std::move(old));
  return placed;
}

bool SystemCertStore::erase(Certificate& certificate) {
  if (!writable()) return false;
  const LSTATUS status = RegDeleteKeyA(certificates_.get(), thumbprintText(certificate.thumbprint()).c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return failWith(status);
  if (orderLoaded_) {
    auto it = std::lower_bound(order_.begin(), order_.end(), certificate.position);
    if (it != order_.end() && *it == certificate.position) order_.erase(it);
  }
  auto held = live_.find(certificate.thumbprint());
  std::unique_ptr<Certificate> old = std::move(held->second);
  live_.erase(held);
  retire(std::move(old));
  return true;
}

bool SystemCertStore::persistProperty(Certificate& certificate, const PropertyKind& kind,
                                      const std::vector<BYTE>* value) {
  if (!writable()) return false;
  HKEY raw = nullptr;
  LSTATUS status =
      RegOpenKeyExA(certificates_.get(), thumbprintText(certificate.thumbprint()).c_str(), 0, KEY_ALL_ACCESS, &raw);
  if (status != ERROR_SUCCESS) return failWith(status);
  UniqueHkey entry(raw);
  if (value != nullptr)
    status = writeBytes(entry.get(), kind.valueName, *value);
  else if ((status = RegDeleteValueA(entry.get(), kind.valueName)) == ERROR_FILE_NOT_FOUND)
    status = ERROR_SUCCESS;
  return status == ERROR_SUCCESS || failWith(status);
}

}  // namespace

HCERTSTORE openSystemStore(DWORD flags, const void* para) {
  const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
  if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::optional<std::string> name = storeKeyName(static_cast<const char16_t*>(para));
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string path = std::string(kStoresPath) + *name + "\\Certificates";
  const bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  const bool mustExist = (flags & CERT_STORE_OPEN_EXISTING_FLAG) != 0;

  HKEY raw = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  if (readOnly || mustExist) {
    status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, readOnly ? KEY_READ : KEY_ALL_ACCESS, &raw);
    // Reading a store that was never written to: it is empty.
    if (status == ERROR_FILE_NOT_FOUND && !mustExist) status = ERROR_SUCCESS;
  } else {
    status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &raw, nullptr);
  }
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return nullptr;
  }
  return CertStore::open(std::make_unique<SystemCertStore>(UniqueHkey(raw), readOnly, *name == "ROOT"));
}

}  // namespace platform::certs
