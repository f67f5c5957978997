// Certificate stores behind HCERTSTORE: what every store shares (handles,
// reference counts, add dispositions, properties, order of enumeration) and
// the primitives each kind of store provides.
//
// Lifetime: a store lives while its handle is open or any context of one of
// its certificates has not been freed; contexts therefore stay valid after
// the handle is closed, whatever the close flags. A certificate that leaves
// its store (replaced or deleted) lives on, detached, until its last context
// is freed. Every store's state is guarded by its own lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/certcontext.h"
#include "platform/certprops.h"

namespace platform::certs {

// How many certificates adds have placed in system stores in this process
// (added, replacing a copy, or kept as already there): a host compares it
// before and after a call to tell whether the call installed anything.
unsigned long systemStorePlacements();

class CertStore {
 public:
  CertStore() = default;
  virtual ~CertStore();
  CertStore(const CertStore&) = delete;
  CertStore& operator=(const CertStore&) = delete;

  // Hands out the handle of a new store.
  static HCERTSTORE open(std::unique_ptr<CertStore> store);
  // The store behind a handle that is open; null (ERROR_INVALID_HANDLE) otherwise.
  static CertStore* fromHandle(HCERTSTORE handle);

  // Releases the handle. False with CRYPT_E_PENDING_CLOSE when `check` and
  // contexts of the store are still held.
  BOOL close(bool check);

  // The first certificate after `previous` (from the start when null) that
  // `matches`, as a new context; null with CRYPT_E_NOT_FOUND at the end.
  PCCERT_CONTEXT findNext(PCCERT_CONTEXT previous, const std::function<bool(const Certificate&)>& matches);
  PCCERT_CONTEXT findThumbprint(const Thumbprint& thumbprint);
  // Adds a copy of `source` (with its properties) as `disposition` says.
  BOOL add(const Certificate& source, DWORD disposition, PCCERT_CONTEXT* storeCopy);
  BOOL remove(Certificate& certificate);

  // A serialised property, or nothing.
  std::optional<std::vector<BYTE>> property(const Certificate& certificate, DWORD id);
  // Sets (`value`) or deletes (null) a property, persisting it where the store persists.
  BOOL setProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value);

  // The entries this store found damaged when it read them (a certificate
  // that could not be read, which is passed over, or a property of one,
  // which is left out), in the order they were met.
  std::vector<Thumbprint> damagedEntries();

  // Contexts of this store's certificates.
  PCCERT_CONTEXT duplicate(Certificate& certificate);
  // May end the store when it was its last hold.
  void release(Certificate& certificate);

 protected:
  // True for the stores of the user's and the machine's registry.
  virtual bool systemStore() const { return false; }

  // The primitives, all called with the lock held. Failures set the last error.

  // The first certificate after `after` (from the start when null) in the
  // store's order; null at the end.
  virtual Certificate* next(const StorePosition* after) = 0;
  // False on failure; `found` null when the store has no such certificate.
  // `adding`, when not null, is the certificate being added: a stored copy
  // with the very same bytes is taken from it instead of being decoded again.
  virtual bool lookup(const Thumbprint& thumbprint, Certificate*& found, const Certificate* adding) = 0;
  // Takes `copy` in at the end of the order; null on failure.
  virtual Certificate* insert(std::unique_ptr<Certificate> copy) = 0;
  // Puts `copy` in the place of `existing` (which is then retired); null on failure.
  virtual Certificate* replace(Certificate& existing, std::unique_ptr<Certificate> copy) = 0;
  // Takes the certificate out (and retires it).
  virtual bool erase(Certificate& certificate) = 0;
  // Makes a property change lasting; only attached certificates are asked.
  virtual bool persistProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value) = 0;
  // No context refers to an attached certificate any more: the store may drop it.
  virtual void unreferenced(Certificate&) {}
  // Called when an entry is found damaged.
  void noteDamaged(const Thumbprint& thumbprint);

  // Keeps a certificate that has left the store until its last context is freed.
  void retire(std::unique_ptr<Certificate> certificate);
  PCCERT_CONTEXT handOut(Certificate& certificate);
  // Gives up the hold of the handle; ends the store when it was the last.
  // True when contexts still hold the store.
  bool dropHold();

  std::mutex mutex_;

 private:
  // For a certificate looked at but not handed out.
  void settle(Certificate& certificate);
  bool writeProperty(Certificate& certificate, const PropertyKind& kind, const std::vector<BYTE>* value);
  // The handle plus every certificate with contexts out.
  unsigned holds_ = 1;
  std::vector<std::unique_ptr<Certificate>> retired_;
  std::vector<Thumbprint> damaged_;
};

// Certificates held in memory, in the order they were put in: a PKCS#7
// collection, or the store of a context created from DER.
class MemoryCertStore final : public CertStore {
 public:
  ~MemoryCertStore() override;
  // Puts a certificate in at the end, duplicates included (as a collection holds them).
  Certificate& append(std::unique_ptr<Certificate> certificate);
  // The only context of a store of its own without a handle, which lives
  // exactly as long as that context (and its duplicates).
  static PCCERT_CONTEXT standalone(std::unique_ptr<Certificate> certificate);

 protected:
  Certificate* next(const StorePosition* after) override;
  bool lookup(const Thumbprint& thumbprint, Certificate*& found, const Certificate* adding) override;
  Certificate* insert(std::unique_ptr<Certificate> copy) override;
  Certificate* replace(Certificate& existing, std::unique_ptr<Certificate> copy) override;
  bool erase(Certificate& certificate) override;
  bool persistProperty(Certificate&, const PropertyKind&, const std::vector<BYTE>*) override { return true; }

 private:
  Certificate& place(std::unique_ptr<Certificate> certificate);
  // Position order = slot; an erased certificate leaves its slot empty.
  std::vector<std::unique_ptr<Certificate>> slots_;
  // The first certificate of each thumbprint.
  std::unordered_map<Thumbprint, Certificate*, ThumbprintHash> index_;
};

// CertStore::damagedEntries of the store behind a handle; empty for a
// handle that is not an open store.
std::vector<Thumbprint> damagedEntries(HCERTSTORE store);

// CERT_STORE_PROV_PKCS7: the certificates of a DER PKCS#7 signed-data message.
HCERTSTORE openPkcs7Store(const void* para);
// CERT_STORE_PROV_SYSTEM_W: one of the current user's stores in the user hive.
HCERTSTORE openSystemStore(DWORD flags, const void* para);

}  // namespace platform::certs
