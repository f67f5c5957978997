// A certificate as the stores hold it: the CERT_CONTEXT and CERT_INFO that
// callers read, built from the certificate's own DER, and the bookkeeping of
// the store that holds it.
//
// CERT_INFO conventions (shared with CryptHashPublicKeyInfo, which re-encodes
// a CERT_PUBLIC_KEY_INFO):
//   - object identifiers are dotted text;
//   - Issuer and Subject are the name encodings exactly as the certificate
//     carries them;
//   - an algorithm's Parameters hold the whole DER element of the parameters
//     as the certificate carries it (05 00 for NULL), cbData 0 when absent;
//   - PublicKey (and the unique ids) hold the BIT STRING's content without
//     its unused-bits byte, the count of unused bits in cUnusedBits;
//   - SerialNumber is the INTEGER's content, least significant byte first;
//   - extensions come in the certificate's order, Value being the content of
//     the extnValue OCTET STRING (e.g. 30 03 01 01 FF).
// Every blob but the serial number points into pbCertEncoded.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/wincrypt.h"

struct x509_st;

namespace platform::certs {

class CertStore;

// SHA-1 of the certificate's DER: what makes two certificates the same.
using Thumbprint = std::array<BYTE, 20>;

// 40 upper-case hexadecimal digits.
std::string thumbprintText(const Thumbprint& thumbprint);

// The digest's bytes are already uniformly spread.
struct ThumbprintHash {
  std::size_t operator()(const Thumbprint& thumbprint) const {
    std::size_t hash = 0;
    for (std::size_t i = 0; i < sizeof hash; ++i) hash = (hash << 8) | thumbprint[i];
    return hash;
  }
};

// The last error for bytes that OpenSSL refused to decode: CRYPT_E_ASN1_EOD
// when they end too early, else CRYPT_E_ASN1_BADTAG. Clears OpenSSL's errors.
DWORD asn1DecodeError();

// Where a certificate stands in its store's order.
struct StorePosition {
  std::uint64_t order = 0;
  Thumbprint thumbprint{};
  auto operator<=>(const StorePosition&) const = default;
};

class Certificate {
 public:
  // Null with the last error set when `der` is not exactly one X.509
  // certificate.
  static std::unique_ptr<Certificate> fromDer(const BYTE* der, std::size_t size);
  // The same for a certificate that OpenSSL has parsed already from `der`
  // (as a collection's are), so that it is not decoded twice.
  static std::unique_ptr<Certificate> fromParsed(const x509_st& parsed, const BYTE* der, std::size_t size);
  // A detached copy with the same bytes (no properties, no store).
  std::unique_ptr<Certificate> copy() const;
  // The certificate behind a context that this library handed out.
  static Certificate& of(PCCERT_CONTEXT context);

  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  ~Certificate();

  PCCERT_CONTEXT context() const { return &header_.context; }
  const std::vector<BYTE>& encoded() const { return encoded_; }
  const Thumbprint& thumbprint() const { return thumbprint_; }

  // Set by the store that holds the certificate; guarded by its lock.
  void joinStore(CertStore* store) { header_.context.hCertStore = store; }
  CertStore& store() const { return *static_cast<CertStore*>(header_.context.hCertStore); }
  unsigned references = 0;  // contexts handed out and not yet freed
  bool attached = false;    // still one of the store's certificates
  StorePosition position;
  // Extended properties by id, each in its serialised form.
  std::map<DWORD, std::vector<BYTE>> properties;

 private:
  Certificate() = default;
  bool decode();
  // Points the context at this certificate's bytes and fields.
  void bindContext();
  bool decodeTbs(const BYTE* tbs, std::size_t size);
  LPSTR keepObjectId(const BYTE* element, std::size_t size);

  // Lets a CERT_CONTEXT pointer lead back to its Certificate.
  struct Header {
    CERT_CONTEXT context;
    Certificate* owner;
  };
  Header header_{};
  CERT_INFO info_{};
  std::vector<BYTE> encoded_;
  std::vector<BYTE> serial_;
  std::deque<std::string> objectIds_;
  std::vector<CERT_EXTENSION> extensions_;
  Thumbprint thumbprint_{};
};

}  // namespace platform::certs
