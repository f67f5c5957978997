#include "platform/certstore.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <unordered_set>

#include "platform/lasterror.h"

namespace platform::certs {
namespace {

struct OpenHandles {
  std::mutex mutex;
  std::unordered_set<const void*> stores;
};

OpenHandles& openHandles() {
  static OpenHandles handles;
  return handles;
}

std::atomic<unsigned long> placementsInSystemStores{0};

}  // namespace

unsigned long systemStorePlacements() { return placementsInSystemStores.load(); }

CertStore::~CertStore() = default;

HCERTSTORE CertStore::open(std::unique_ptr<CertStore> store) {
  OpenHandles& handles = openHandles();
  std::lock_guard<std::mutex> lock(handles.mutex);
  handles.stores.insert(store.get());
  return store.release();
}

CertStore* CertStore::fromHandle(HCERTSTORE handle) {
  OpenHandles& handles = openHandles();
  std::lock_guard<std::mutex> lock(handles.mutex);
  if (handle == nullptr || handles.stores.count(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<CertStore*>(handle);
}

std::vector<Thumbprint> CertStore::damagedEntries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return damaged_;
}

void CertStore::noteDamaged(const Thumbprint& thumbprint) {
  if (std::find(damaged_.begin(), damaged_.end(), thumbprint) == damaged_.end()) damaged_.push_back(thumbprint);
}

std::vector<Thumbprint> damagedEntries(HCERTSTORE handle) {
  CertStore* store = CertStore::fromHandle(handle);
  return store != nullptr ? store->damagedEntries() : std::vector<Thumbprint>{};
}

BOOL CertStore::close(bool check) {
  {
    OpenHandles& handles = openHandles();
    std::lock_guard<std::mutex> lock(handles.mutex);
    if (handles.stores.erase(this) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (dropHold() && check) {
    SetLastError(CRYPT_E_PENDING_CLOSE);
    return FALSE;
  }
  return TRUE;
}

bool CertStore::dropHold() {
  bool last = false;
  bool contextsOut = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last = --holds_ == 0;
    contextsOut = !last;
  }
  if (last) delete this;
  return contextsOut;
}

PCCERT_CONTEXT CertStore::findNext(PCCERT_CONTEXT previous, const std::function<bool(const Certificate&)>& matches) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<StorePosition> after;
  if (previous != nullptr) after = Certificate::of(previous).position;
  for (;;) {
    Certificate* candidate = next(after ? &*after : nullptr);
    if (candidate == nullptr) {
      SetLastError(CRYPT_E_NOT_FOUND);
      return nullptr;
    }
    if (matches(*candidate)) return handOut(*candidate);
    after = candidate->position;
    settle(*candidate);
  }
}

PCCERT_CONTEXT CertStore::findThumbprint(const Thumbprint& thumbprint) {
  std::lock_guard<std::mutex> lock(mutex_);
  Certificate* found = nullptr;
  if (!lookup(thumbprint, found, nullptr)) return nullptr;
  if (found == nullptr) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return handOut(*found);
}

BOOL CertStore::add(const Certificate& source, DWORD disposition, PCCERT_CONTEXT* storeCopy) {
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The copy and its properties are taken before this store's lock: the
  // source may belong to another store (or to this one).
  std::unique_ptr<Certificate> copy = source.copy();
  if (!copy) return FALSE;
  {
    CertStore& sourceStore = source.store();
    std::lock_guard<std::mutex> lock(sourceStore.mutex_);
    copy->properties = source.properties;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  Certificate* existing = nullptr;
  if (!lookup(copy->thumbprint(), existing, copy.get())) return FALSE;
  Certificate* placed = nullptr;
  if (existing == nullptr) {
    placed = insert(std::move(copy));
  } else if (disposition == CERT_STORE_ADD_NEW) {
    settle(*existing);
    SetLastError(CRYPT_E_EXISTS);
    return FALSE;
  } else if (disposition == CERT_STORE_ADD_USE_EXISTING) {
    // The copy in the store stays; properties that the new one carries are added to it.
    for (const auto& [id, value] : copy->properties) {
      const PropertyKind* kind = settableProperty(id);
      if (kind != nullptr && !writeProperty(*existing, *kind, &value)) {
        settle(*existing);
        return FALSE;
      }
    }
    placed = existing;
  } else {
    // A store holds one copy per thumbprint, so "always" replaces too.
    placed = replace(*existing, std::move(copy));
  }
  if (placed == nullptr) return FALSE;
  if (systemStore()) ++placementsInSystemStores;
  if (storeCopy != nullptr)
    *storeCopy = handOut(*placed);
  else
    settle(*placed);
  return TRUE;
}

BOOL CertStore::remove(Certificate& certificate) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !certificate.attached || erase(certificate);
}

std::optional<std::vector<BYTE>> CertStore::property(const Certificate& certificate, DWORD id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = certificate.properties.find(id);
  if (it == certificate.properties.end()) return std::nullopt;
  return it->second;
}

BOOL CertStore::setProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeProperty(certificate, kind, value);
}

bool CertStore::writeProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value) {
  // A certificate that has left the store keeps its properties in memory only.
  if (certificate.attached && !persistProperty(certificate, kind, value)) return false;
  if (value != nullptr)
    certificate.properties[kind.id] = *value;
  else
    certificate.properties.erase(kind.id);
  return true;
}

PCCERT_CONTEXT CertStore::duplicate(Certificate& certificate) {
  std::lock_guard<std::mutex> lock(mutex_);
  return handOut(certificate);
}

void CertStore::release(Certificate& certificate) {
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--certificate.references != 0) return;
    if (certificate.attached) {
      unreferenced(certificate);
    } else {
      std::erase_if(retired_, [&certificate](const std::unique_ptr<Certificate>& held) {
        return held.get() == &certificate;
      });
    }
    last = --holds_ == 0;
  }
  if (last) delete this;
}

PCCERT_CONTEXT CertStore::handOut(Certificate& certificate) {
  if (certificate.references++ == 0) ++holds_;
  return certificate.context();
}

void CertStore::settle(Certificate& certificate) {
  if (certificate.references == 0 && certificate.attached) unreferenced(certificate);
}

void CertStore::retire(std::unique_ptr<Certificate> certificate) {
  certificate->attached = false;
  if (certificate->references > 0) retired_.push_back(std::move(certificate));
}

// ---- Memory stores ----

MemoryCertStore::~MemoryCertStore() = default;

PCCERT_CONTEXT MemoryCertStore::standalone(std::unique_ptr<Certificate> certificate) {
  auto* store = new MemoryCertStore();
  PCCERT_CONTEXT context = nullptr;
  {
    std::lock_guard<std::mutex> lock(store->mutex_);
    context = store->handOut(store->place(std::move(certificate)));
  }
  store->dropHold();
  return context;
}

Certificate& MemoryCertStore::append(std::unique_ptr<Certificate> certificate) {
  std::lock_guard<std::mutex> lock(mutex_);
  return place(std::move(certificate));
}

Certificate& MemoryCertStore::place(std::unique_ptr<Certificate> certificate) {
  certificate->position = StorePosition{slots_.size(), certificate->thumbprint()};
  certificate->attached = true;
  certificate->joinStore(this);
  index_.try_emplace(certificate->thumbprint(), certificate.get());
  slots_.push_back(std::move(certificate));
  return *slots_.back();
}

Certificate* MemoryCertStore::next(const StorePosition* after) {
  for (std::size_t slot = after ? after->order + 1 : 0; slot < slots_.size(); ++slot)
    if (slots_[slot]) return slots_[slot].get();
  return nullptr;
}

bool MemoryCertStore::lookup(const Thumbprint& thumbprint, Certificate*& found, const Certificate*) {
  auto it = index_.find(thumbprint);
  found = it == index_.end() ? nullptr : it->second;
  return true;
}

Certificate* MemoryCertStore::insert(std::unique_ptr<Certificate> copy) { return &place(std::move(copy)); }

Certificate* MemoryCertStore::replace(Certificate& existing, std::unique_ptr<Certificate> copy) {
  const std::size_t slot = existing.position.order;
  copy->position = existing.position;
  copy->attached = true;
  copy->joinStore(this);
  Certificate*& indexed = index_[copy->thumbprint()];
  if (indexed == &existing) indexed = copy.get();
  std::unique_ptr<Certificate> old = std::move(slots_[slot]);
  slots_[slot] = std::move(copy);
  retire(std::move(old));
  return slots_[slot].get();
}

bool MemoryCertStore::erase(Certificate& certificate) {
  const Thumbprint thumbprint = certificate.thumbprint();
  std::unique_ptr<Certificate> old = std::move(slots_[certificate.position.order]);
  auto it = index_.find(thumbprint);
  if (it != index_.end() && it->second == &certificate) {
    index_.erase(it);
    for (const std::unique_ptr<Certificate>& held : slots_)
      if (held && held->thumbprint() == thumbprint) {
        index_.emplace(thumbprint, held.get());
        break;
      }
  }
  retire(std::move(old));
  return true;
}

}  // namespace platform::certs
