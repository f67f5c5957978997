// The certificate store and context functions of the cryptographic
// interface, over the stores of certstore.h.
#include <cstring>

#include "platform/certstore.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/wincrypt.h"

using platform::certs::Certificate;
using platform::certs::CertStore;
using platform::certs::PropertyKind;

namespace {

// Frees a context that a function receives to free (the `previous` of the
// enumeration and find functions), on every path.
struct FreedOnReturn {
  PCCERT_CONTEXT context;
  ~FreedOnReturn() { CertFreeCertificateContext(context); }
};

bool belongsTo(PCCERT_CONTEXT context, const CertStore* store) {
  if (context == nullptr || &Certificate::of(context).store() == store) return true;
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

}  // namespace

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD, HCRYPTPROV, DWORD flags, const void* para) {
  if (FAULT("CertOpenStore", ERROR_FILE_NOT_FOUND)) return nullptr;
  if (storeProvider == CERT_STORE_PROV_PKCS7) return platform::certs::openPkcs7Store(para);
  if (storeProvider == CERT_STORE_PROV_SYSTEM_W) return platform::certs::openSystemStore(flags, para);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) {
  if (store == nullptr) return TRUE;
  CertStore* open = CertStore::fromHandle(store);
  if (open == nullptr) return FALSE;
  // A failing close still gives up the handle, so that nothing leaks.
  if (FAULT("CertCloseStore", ERROR_GEN_FAILURE)) {
    const DWORD error = GetLastError();
    open->close(false);
    SetLastError(error);
    return FALSE;
  }
  // The stores never free contexts that callers still hold, so the force
  // flag needs nothing more than an ordinary close.
  return open->close((flags & CERT_CLOSE_STORE_CHECK_FLAG) != 0);
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
  FreedOnReturn freed{previous};
  if (FAULT("CertEnumCertificatesInStore", CRYPT_E_NOT_FOUND)) return nullptr;
  CertStore* open = CertStore::fromHandle(store);
  if (open == nullptr || !belongsTo(previous, open)) return nullptr;
  return open->findNext(previous, [](const Certificate&) { return true; });
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD, DWORD, DWORD findType, const void* findPara,
                                          PCCERT_CONTEXT previous) {
  FreedOnReturn freed{previous};
  if (FAULT("CertFindCertificateInStore", CRYPT_E_NOT_FOUND)) return nullptr;
  CertStore* open = CertStore::fromHandle(store);
  if (open == nullptr || !belongsTo(previous, open)) return nullptr;
  if (findType == CERT_FIND_ANY) return open->findNext(previous, [](const Certificate&) { return true; });
  if (findType != CERT_FIND_SHA1_HASH || findPara == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(findPara);
  platform::certs::Thumbprint wanted{};
  if (hash->cbData != wanted.size() || hash->pbData == nullptr) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  std::memcpy(wanted.data(), hash->pbData, wanted.size());
  if (previous == nullptr) return open->findThumbprint(wanted);
  return open->findNext(previous, [&wanted](const Certificate& candidate) { return candidate.thumbprint() == wanted; });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* storeContext) {
  if (storeContext != nullptr) *storeContext = nullptr;
  if (FAULT("CertAddCertificateContextToStore", ERROR_WRITE_FAULT)) return FALSE;
  CertStore* open = CertStore::fromHandle(store);
  if (open == nullptr) return FALSE;
  if (context == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return open->add(Certificate::of(context), disposition, storeContext);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
  FreedOnReturn freed{context};
  if (FAULT("CertDeleteCertificateFromStore", ERROR_WRITE_FAULT)) return FALSE;
  if (context == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Certificate& certificate = Certificate::of(context);
  return certificate.store().remove(certificate);
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD, const void* data) {
  if (FAULT("CertSetCertificateContextProperty", ERROR_WRITE_FAULT)) return FALSE;
  if (context == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const PropertyKind* kind = platform::certs::settableProperty(propId);
  if (kind == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  Certificate& certificate = Certificate::of(context);
  if (data == nullptr) return certificate.store().setProperty(certificate, *kind, nullptr);
  std::optional<std::vector<BYTE>> value = kind->serialise(data);
  if (!value) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return certificate.store().setProperty(certificate, *kind, &*value);
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data, DWORD* length) {
  if (FAULT("CertGetCertificateContextProperty", CRYPT_E_NOT_FOUND)) return FALSE;
  if (context == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Certificate& certificate = Certificate::of(context);
  if (propId == CERT_SHA1_HASH_PROP_ID)
    return platform::certs::copyOut(certificate.thumbprint().data(), certificate.thumbprint().size(), data, length);
  const PropertyKind* kind = platform::certs::settableProperty(propId);
  std::optional<std::vector<BYTE>> value;
  if (kind != nullptr) value = certificate.store().property(certificate, propId);
  if (!value) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return FALSE;
  }
  return kind->unpack(*value, data, length);
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD encodedLength) {
  if (FAULT("CertCreateCertificateContext", CRYPT_E_ASN1_BADTAG)) return nullptr;
  if ((encoding & X509_ASN_ENCODING) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<Certificate> certificate = Certificate::fromDer(encoded, encodedLength);
  if (!certificate) return nullptr;
  return platform::certs::MemoryCertStore::standalone(std::move(certificate));
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  if (context == nullptr) return nullptr;
  Certificate& certificate = Certificate::of(context);
  return certificate.store().duplicate(certificate);
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  if (context == nullptr) return TRUE;
  Certificate& certificate = Certificate::of(context);
  certificate.store().release(certificate);
  return TRUE;
}
