// OpenSSL comes first: the platform headers define X509_NAME as a structure
// type constant, which would break OpenSSL's own X509_NAME afterwards.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "platform/openssl_handles.h"
#include "platform/certcontext.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/lasterror.h"
#include "platform/structure_decode.h"

namespace platform::certs {
namespace {

// Two extensions of the same kind make a certificate invalid: which of
// them would count is anybody's guess.
bool hasDuplicateExtensions(const X509* certificate) {
  const int count = X509_get_ext_count(certificate);
  for (int i = 0; i < count; ++i)
    for (int j = i + 1; j < count; ++j)
      if (OBJ_cmp(X509_EXTENSION_get_object(X509_get_ext(certificate, i)),
                  X509_EXTENSION_get_object(X509_get_ext(certificate, j))) == 0)
        return true;
  return false;
}

// One DER element inside a buffer that outlives it.
struct Element {
  const BYTE* begin = nullptr;
  std::size_t size = 0;  // tag, length and content
  const BYTE* content = nullptr;
  std::size_t contentSize = 0;
  int tagClass = 0;
  int tag = 0;
};

// Reads consecutive DER elements of a span through OpenSSL's header parser.
// Lengths are checked against the span; indefinite lengths are refused.
class DerReader {
 public:
  DerReader(const BYTE* data, std::size_t size) : next_(data), end_(data + size) {}
  explicit DerReader(const Element& outer) : DerReader(outer.content, outer.contentSize) {}

  bool atEnd() const { return next_ == end_; }

  // The next element when it has the given class and tag; otherwise nothing
  // is consumed.
  std::optional<Element> take(int tagClass, int tag) {
    std::optional<Element> element = peek();
    if (!element || element->tagClass != tagClass || element->tag != tag) return std::nullopt;
    next_ = element->begin + element->size;
    return element;
  }
  std::optional<Element> takeAny() {
    std::optional<Element> element = peek();
    if (element) next_ = element->begin + element->size;
    return element;
  }

 private:
  std::optional<Element> peek() const {
    if (next_ >= end_) return std::nullopt;
    const unsigned char* cursor = next_;
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const int header = ASN1_get_object(&cursor, &length, &tag, &tagClass, static_cast<long>(end_ - next_));
    if ((header & 0x80) != 0 || (header & 0x01) != 0) return std::nullopt;
    Element element;
    element.begin = next_;
    element.content = cursor;
    element.contentSize = static_cast<std::size_t>(length);
    element.size = static_cast<std::size_t>(cursor - next_) + element.contentSize;
    element.tagClass = tagClass;
    element.tag = tag;
    return element;
  }

  const BYTE* next_;
  const BYTE* end_;
};

constexpr int kUniversal = V_ASN1_UNIVERSAL;
constexpr int kContext = V_ASN1_CONTEXT_SPECIFIC;

CRYPTOAPI_BLOB blobOf(const BYTE* data, std::size_t size) {
  return CRYPTOAPI_BLOB{static_cast<DWORD>(size), size ? const_cast<BYTE*>(data) : nullptr};
}

// A BIT STRING's content: the unused-bits count, then the bits.
bool bitBlobOf(const Element& bitString, CRYPT_BIT_BLOB& blob) {
  if (bitString.contentSize == 0 || bitString.content[0] > 7) return false;
  blob.cbData = static_cast<DWORD>(bitString.contentSize - 1);
  blob.pbData = blob.cbData ? const_cast<BYTE*>(bitString.content + 1) : nullptr;
  blob.cUnusedBits = bitString.content[0];
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// 100-nanosecond intervals since 1601-01-01 UTC.
bool fileTimeOf(const ASN1_TIME* time, FILETIME& fileTime) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return false;
  constexpr std::int64_t secondsFrom1601To1970 = 11644473600;
  const std::int64_t seconds =
      daysFromCivil(parts.tm_year + 1900, static_cast<unsigned>(parts.tm_mon + 1), static_cast<unsigned>(parts.tm_mday)) *
          86400 +
      parts.tm_hour * 3600 + parts.tm_min * 60 + parts.tm_sec + secondsFrom1601To1970;
  if (seconds < 0) return false;
  const std::uint64_t intervals = static_cast<std::uint64_t>(seconds) * 10000000u;
  fileTime.dwLowDateTime = static_cast<DWORD>(intervals);
  fileTime.dwHighDateTime = static_cast<DWORD>(intervals >> 32);
  return true;
}

}  // namespace

DWORD asn1DecodeError() {
  // The first error says what went wrong; later ones only say where.
  const int reason = ERR_GET_REASON(ERR_peek_error());
  ERR_clear_error();
  return (reason == ASN1_R_TOO_LONG || reason == ASN1_R_HEADER_TOO_LONG || reason == ASN1_R_NOT_ENOUGH_DATA)
             ? CRYPT_E_ASN1_EOD
             : CRYPT_E_ASN1_BADTAG;
}

std::string thumbprintText(const Thumbprint& thumbprint) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(thumbprint.size() * 2);
  for (BYTE byte : thumbprint) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

Certificate::~Certificate() = default;

Certificate& Certificate::of(PCCERT_CONTEXT context) {
  return *reinterpret_cast<const Header*>(context)->owner;
}

std::unique_ptr<Certificate> Certificate::fromDer(const BYTE* der, std::size_t size) {
  if (der == nullptr || size == 0) {
    SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  // OpenSSL judges the certificate as a whole; the fields are then read from
  // the exact bytes, so that names and keys keep their original encoding.
  const unsigned char* cursor = der;
  UniqueX509 parsed = decodeCertificateStructure(cursor, static_cast<long>(size));
  if (!parsed) {
    SetLastError(asn1DecodeError());
    return nullptr;
  }
  if (cursor != der + size) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  return fromParsed(*parsed, der, size);
}

std::unique_ptr<Certificate> Certificate::fromParsed(const x509_st& parsed, const BYTE* der, std::size_t size) {
  if (hasDuplicateExtensions(&parsed)) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  std::unique_ptr<Certificate> certificate(new Certificate());
  certificate->encoded_.assign(der, der + size);
  certificate->info_.dwVersion = static_cast<DWORD>(X509_get_version(&parsed));
  if (!fileTimeOf(X509_get0_notBefore(&parsed), certificate->info_.NotBefore) ||
      !fileTimeOf(X509_get0_notAfter(&parsed), certificate->info_.NotAfter) || !certificate->decode()) {
    ERR_clear_error();
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  return certificate;
}

std::unique_ptr<Certificate> Certificate::copy() const {
  // The same bytes and fields as this one; the fields' pointers move to the
  // copy's own buffers, at the same places.
  std::unique_ptr<Certificate> certificate(new Certificate());
  Certificate& to = *certificate;
  to.encoded_ = encoded_;
  to.serial_ = serial_;
  to.objectIds_ = objectIds_;
  to.extensions_ = extensions_;
  to.thumbprint_ = thumbprint_;
  to.info_ = info_;
  auto moveBytes = [this, &to](BYTE*& data) {
    if (data != nullptr) data = to.encoded_.data() + (data - encoded_.data());
  };
  auto moveObjectId = [this, &to](LPSTR& text) {
    for (std::size_t index = 0; index < objectIds_.size(); ++index)
      if (text == objectIds_[index].data()) text = to.objectIds_[index].data();
  };
  CERT_INFO& info = to.info_;
  info.SerialNumber.pbData = info.SerialNumber.cbData ? to.serial_.data() : nullptr;
  for (CRYPT_ALGORITHM_IDENTIFIER* algorithm : {&info.SignatureAlgorithm, &info.SubjectPublicKeyInfo.Algorithm}) {
    moveObjectId(algorithm->pszObjId);
    moveBytes(algorithm->Parameters.pbData);
  }
  for (BYTE** data : {&info.Issuer.pbData, &info.Subject.pbData, &info.SubjectPublicKeyInfo.PublicKey.pbData,
                      &info.IssuerUniqueId.pbData, &info.SubjectUniqueId.pbData})
    moveBytes(*data);
  for (CERT_EXTENSION& extension : to.extensions_) {
    moveObjectId(extension.pszObjId);
    moveBytes(extension.Value.pbData);
  }
  info.rgExtension = to.extensions_.empty() ? nullptr : to.extensions_.data();
  to.bindContext();
  return certificate;
}

bool Certificate::decode() {
  unsigned int digestLength = 0;
  if (EVP_Digest(encoded_.data(), encoded_.size(), thumbprint_.data(), &digestLength, EVP_sha1(), nullptr) != 1 ||
      digestLength != thumbprint_.size())
    return false;

  DerReader outer(encoded_.data(), encoded_.size());
  std::optional<Element> certificate = outer.take(kUniversal, V_ASN1_SEQUENCE);
  if (!certificate || !outer.atEnd()) return false;
  DerReader fields(*certificate);
  std::optional<Element> tbs = fields.take(kUniversal, V_ASN1_SEQUENCE);
  if (!tbs || !decodeTbs(tbs->content, tbs->contentSize)) return false;
  bindContext();
  return true;
}

void Certificate::bindContext() {
  header_.context.dwCertEncodingType = X509_ASN_ENCODING;
  header_.context.pbCertEncoded = encoded_.data();
  header_.context.cbCertEncoded = static_cast<DWORD>(encoded_.size());
  header_.context.pCertInfo = &info_;
  header_.owner = this;
}

LPSTR Certificate::keepObjectId(const BYTE* element, std::size_t size) {
  const unsigned char* cursor = element;
  UniqueAsn1Object object(d2i_ASN1_OBJECT(nullptr, &cursor, static_cast<long>(size)));
  if (!object) return nullptr;
  // One pass for the usual identifier, which fits; a second for a longer one.
  char usual[64];
  const int length = OBJ_obj2txt(usual, sizeof usual, object.get(), 1);
  if (length <= 0) return nullptr;
  std::string& text = objectIds_.emplace_back(static_cast<std::size_t>(length), '\0');
  if (static_cast<std::size_t>(length) < sizeof usual)
    text.assign(usual, static_cast<std::size_t>(length));
  else
    OBJ_obj2txt(text.data(), length + 1, object.get(), 1);
  return text.data();
}

bool Certificate::decodeTbs(const BYTE* tbs, std::size_t size) {
  DerReader fields(tbs, size);
  auto algorithmOf = [this](const Element& sequence, CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    DerReader parts(sequence);
    std::optional<Element> objectId = parts.take(kUniversal, V_ASN1_OBJECT);
    if (!objectId || (algorithm.pszObjId = keepObjectId(objectId->begin, objectId->size)) == nullptr) return false;
    if (parts.atEnd()) return true;
    std::optional<Element> parameters = parts.takeAny();
    if (!parameters || !parts.atEnd()) return false;
    algorithm.Parameters = blobOf(parameters->begin, parameters->size);
    return true;
  };

  fields.take(kContext, 0);  // the version, already read by OpenSSL
  std::optional<Element> serial = fields.take(kUniversal, V_ASN1_INTEGER);
  std::optional<Element> signature = fields.take(kUniversal, V_ASN1_SEQUENCE);
  std::optional<Element> issuer = fields.take(kUniversal, V_ASN1_SEQUENCE);
  std::optional<Element> validity = fields.take(kUniversal, V_ASN1_SEQUENCE);
  std::optional<Element> subject = fields.take(kUniversal, V_ASN1_SEQUENCE);
  std::optional<Element> publicKeyInfo = fields.take(kUniversal, V_ASN1_SEQUENCE);
  if (!serial || !signature || !issuer || !validity || !subject || !publicKeyInfo) return false;

  serial_.assign(serial->content, serial->content + serial->contentSize);
  std::reverse(serial_.begin(), serial_.end());
  info_.SerialNumber = blobOf(serial_.data(), serial_.size());
  if (!algorithmOf(*signature, info_.SignatureAlgorithm)) return false;
  info_.Issuer = blobOf(issuer->begin, issuer->size);
  info_.Subject = blobOf(subject->begin, subject->size);

  DerReader keyParts(*publicKeyInfo);
  std::optional<Element> keyAlgorithm = keyParts.take(kUniversal, V_ASN1_SEQUENCE);
  std::optional<Element> keyBits = keyParts.take(kUniversal, V_ASN1_BIT_STRING);
  if (!keyAlgorithm || !keyBits || !keyParts.atEnd() ||
      !algorithmOf(*keyAlgorithm, info_.SubjectPublicKeyInfo.Algorithm) ||
      !bitBlobOf(*keyBits, info_.SubjectPublicKeyInfo.PublicKey))
    return false;

  if (std::optional<Element> issuerId = fields.take(kContext, 1); issuerId && !bitBlobOf(*issuerId, info_.IssuerUniqueId))
    return false;
  if (std::optional<Element> subjectId = fields.take(kContext, 2);
      subjectId && !bitBlobOf(*subjectId, info_.SubjectUniqueId))
    return false;
  if (std::optional<Element> explicitExtensions = fields.take(kContext, 3)) {
    DerReader wrapper(*explicitExtensions);
    std::optional<Element> list = wrapper.take(kUniversal, V_ASN1_SEQUENCE);
    if (!list || !wrapper.atEnd()) return false;
    DerReader entries(*list);
    while (!entries.atEnd()) {
      std::optional<Element> entry = entries.take(kUniversal, V_ASN1_SEQUENCE);
      if (!entry) return false;
      DerReader parts(*entry);
      std::optional<Element> objectId = parts.take(kUniversal, V_ASN1_OBJECT);
      std::optional<Element> critical = parts.take(kUniversal, V_ASN1_BOOLEAN);
      std::optional<Element> value = parts.take(kUniversal, V_ASN1_OCTET_STRING);
      if (!objectId || !value || !parts.atEnd() || (critical && critical->contentSize != 1)) return false;
      CERT_EXTENSION extension{};
      if ((extension.pszObjId = keepObjectId(objectId->begin, objectId->size)) == nullptr) return false;
      extension.fCritical = critical && critical->content[0] != 0;
      extension.Value = blobOf(value->content, value->contentSize);
      extensions_.push_back(extension);
    }
  }
  if (!fields.atEnd()) return false;
  info_.cExtension = static_cast<DWORD>(extensions_.size());
  info_.rgExtension = extensions_.empty() ? nullptr : extensions_.data();
  return true;
}

}  // namespace platform::certs
