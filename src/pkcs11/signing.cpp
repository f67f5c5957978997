#include "pkcs11/signing.h"

#include <openssl/err.h>

#include <cstring>

#include "platform/lasterror.h"

namespace tarvenholm::pkcs11 {
namespace {

struct HashAlgorithm {
  CK_MECHANISM_TYPE mechanism;
  CK_RSA_PKCS_MGF_TYPE mgf;
  const char16_t* name;
  const EVP_MD* (*digest)();
};

constexpr HashAlgorithm kHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, BCRYPT_SHA1_ALGORITHM, EVP_sha1},
    {CKM_SHA256, CKG_MGF1_SHA256, BCRYPT_SHA256_ALGORITHM, EVP_sha256},
    {CKM_SHA384, CKG_MGF1_SHA384, BCRYPT_SHA384_ALGORITHM, EVP_sha384},
    {CKM_SHA512, CKG_MGF1_SHA512, BCRYPT_SHA512_ALGORITHM, EVP_sha512},
};

const HashAlgorithm* hashOf(CK_MECHANISM_TYPE mechanism) {
  for (const HashAlgorithm& hash : kHashes)
    if (hash.mechanism == mechanism) return &hash;
  return nullptr;
}

struct SigningMechanism {
  CK_MECHANISM_TYPE mechanism;
  CK_KEY_TYPE keyType;
  CK_MECHANISM_TYPE hash;  // computed by the mechanism; 0 when the caller hashed
  bool pss;
};

constexpr SigningMechanism kMechanisms[] = {
    {CKM_RSA_PKCS, CKK_RSA, 0, false},
    {CKM_RSA_PKCS_PSS, CKK_RSA, 0, true},
    {CKM_SHA256_RSA_PKCS, CKK_RSA, CKM_SHA256, false},
    {CKM_SHA384_RSA_PKCS, CKK_RSA, CKM_SHA384, false},
    {CKM_SHA512_RSA_PKCS, CKK_RSA, CKM_SHA512, false},
    {CKM_SHA256_RSA_PKCS_PSS, CKK_RSA, CKM_SHA256, true},
    {CKM_SHA384_RSA_PKCS_PSS, CKK_RSA, CKM_SHA384, true},
    {CKM_SHA512_RSA_PKCS_PSS, CKK_RSA, CKM_SHA512, true},
    {CKM_ECDSA, CKK_EC, 0, false},
    {CKM_ECDSA_SHA256, CKK_EC, CKM_SHA256, false},
    {CKM_ECDSA_SHA384, CKK_EC, CKM_SHA384, false},
};

const SigningMechanism* mechanismOf(CK_MECHANISM_TYPE type) {
  for (const SigningMechanism& entry : kMechanisms)
    if (entry.mechanism == type) return &entry;
  return nullptr;
}

// The key sizes in bits the provider makes and signs with: RSA moduli, and
// the EC curves P-256 and P-384 (prime field, named, uncompressed points).
constexpr CK_MECHANISM_INFO kRsaInfo{1024, 16384, CKF_SIGN};
constexpr CK_MECHANISM_INFO kEcInfo{256, 384, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};

// PKCS #1 v1.5 padding needs 11 bytes of the modulus.
constexpr CK_ULONG kPkcs1Overhead = 11;

CK_RV resultOf(SECURITY_STATUS status) {
  switch (static_cast<DWORD>(status)) {
    case ERROR_SUCCESS:
      return CKR_OK;
    case NTE_SILENT_CONTEXT:
      return CKR_USER_NOT_LOGGED_IN;
    case ERROR_INVALID_PASSWORD:
      return CKR_PIN_INCORRECT;
    case ERROR_CANCELLED:
      return CKR_FUNCTION_CANCELED;
    case NTE_NO_MEMORY:
      return CKR_HOST_MEMORY;
    case NTE_INVALID_PARAMETER:
      return CKR_DATA_LEN_RANGE;
    case NTE_BAD_KEYSET:
    case NTE_NO_KEY:
      return CKR_KEY_HANDLE_INVALID;
    default:
      return CKR_FUNCTION_FAILED;
  }
}

}  // namespace

const std::vector<CK_MECHANISM_TYPE>& signingMechanisms() {
  static const std::vector<CK_MECHANISM_TYPE> mechanisms = [] {
    std::vector<CK_MECHANISM_TYPE> all;
    for (const SigningMechanism& entry : kMechanisms) all.push_back(entry.mechanism);
    return all;
  }();
  return mechanisms;
}

std::vector<CK_MECHANISM_TYPE> signingMechanisms(CK_KEY_TYPE keyType) {
  std::vector<CK_MECHANISM_TYPE> mechanisms;
  for (const SigningMechanism& entry : kMechanisms)
    if (entry.keyType == keyType) mechanisms.push_back(entry.mechanism);
  return mechanisms;
}

bool mechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info) {
  const SigningMechanism* found = mechanismOf(type);
  if (found == nullptr) return false;
  info = found->keyType == CKK_EC ? kEcInfo : kRsaInfo;
  return true;
}

bool signerOpens(std::shared_ptr<UniqueNcryptKey> signer, const KeyLocation& location) {
  if (!signer) return false;
  const CK_MECHANISM probe{location.keyType == CKK_EC ? CKM_ECDSA_SHA256 : CKM_SHA256_RSA_PKCS, nullptr, 0};
  SignOperation operation;
  Bytes signature(location.signatureBytes);
  CK_ULONG length = signature.size();
  bool done = false;
  return operation.start(probe, std::move(signer), location) == CKR_OK &&
         operation.finish(nullptr, 0, signature.data(), &length, done) == CKR_OK;
}

CK_RV SignOperation::start(const CK_MECHANISM& mechanism, std::shared_ptr<UniqueNcryptKey> signer,
                           const KeyLocation& key) {
  const SigningMechanism* found = mechanismOf(mechanism.mechanism);
  if (found == nullptr) return CKR_MECHANISM_INVALID;
  if (found->keyType != key.keyType) return CKR_KEY_TYPE_INCONSISTENT;

  const HashAlgorithm* hash = found->hash == 0 ? nullptr : hashOf(found->hash);
  if (found->pss) {
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS))
      return CKR_MECHANISM_PARAM_INVALID;
    CK_RSA_PKCS_PSS_PARAMS parameters;
    std::memcpy(&parameters, mechanism.pParameter, sizeof parameters);
    const HashAlgorithm* named = hashOf(parameters.hashAlg);
    // The provider uses one hash for the value and for MGF1.
    if (named == nullptr || named->mgf != parameters.mgf || (hash != nullptr && hash != named) ||
        parameters.sLen > key.signatureBytes)
      return CKR_MECHANISM_PARAM_INVALID;
    hashName_ = named->name;
    saltLength_ = parameters.sLen;
    if (hash == nullptr) hash_ = named->digest();  // the length the caller's hash must have
  } else if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) {
    return CKR_MECHANISM_PARAM_INVALID;
  } else if (hash != nullptr) {
    hashName_ = hash->name;
  }
  pss_ = found->pss;
  signer_ = std::move(signer);
  keyType_ = key.keyType;
  signatureBytes_ = key.signatureBytes;
  if (hash != nullptr) {
    hash_ = hash->digest();
    running_.reset(EVP_MD_CTX_new());
    if (!running_ || EVP_DigestInit_ex(running_.get(), hash_, nullptr) != 1) {
      ERR_clear_error();
      return CKR_HOST_MEMORY;
    }
  }
  return CKR_OK;
}

CK_RV SignOperation::update(const unsigned char* data, CK_ULONG length) {
  if (length == 0) return CKR_OK;
  if (running_) return EVP_DigestUpdate(running_.get(), data, length) == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
  collected_.insert(collected_.end(), data, data + length);
  return CKR_OK;
}

CK_RV SignOperation::finish(const unsigned char* data, CK_ULONG length, unsigned char* signature,
                            CK_ULONG* signatureLength, bool& done) {
  done = false;
  // The length is known before anything is consumed, so a query can be repeated.
  const CK_ULONG offered = *signatureLength;
  *signatureLength = signatureBytes_;
  if (signature == nullptr) return CKR_OK;
  if (offered < signatureBytes_) return CKR_BUFFER_TOO_SMALL;
  done = true;
  CK_RV result = update(data, length);
  if (result != CKR_OK) return result;
  Bytes value;
  if (running_) {
    value.resize(EVP_MAX_MD_SIZE);
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(running_.get(), value.data(), &digestLength) != 1) {
      ERR_clear_error();
      return CKR_FUNCTION_FAILED;
    }
    value.resize(digestLength);
  } else {
    value = std::move(collected_);
    // ECDSA uses the leftmost bits of a longer hash, as many as the order
    // has: whole bytes on the curves offered.
    if (keyType_ == CKK_EC && value.size() > signatureBytes_ / 2) value.resize(signatureBytes_ / 2);
    const bool fits = keyType_ == CKK_EC ? !value.empty()
                      : pss_             ? value.size() == static_cast<std::size_t>(EVP_MD_get_size(hash_))
                                         : value.size() + kPkcs1Overhead <= signatureBytes_;
    if (!fits) return CKR_DATA_LEN_RANGE;
  }
  return signValue(value, signature, signatureLength);
}

CK_RV SignOperation::signValue(const Bytes& value, unsigned char* signature, CK_ULONG* signatureLength) {
  BCRYPT_PKCS1_PADDING_INFO pkcs1{hashName_};
  BCRYPT_PSS_PADDING_INFO pss{hashName_, static_cast<ULONG>(saltLength_)};
  // ECDSA has no padding.
  const bool rsa = keyType_ == CKK_RSA;
  void* padding = !rsa ? nullptr : pss_ ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
  const DWORD paddingFlag = !rsa ? 0 : pss_ ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
  DWORD written = 0;
  const SECURITY_STATUS status =
      NCryptSignHash(signer_->get(), padding, const_cast<PBYTE>(value.data()), static_cast<DWORD>(value.size()),
                     signature, static_cast<DWORD>(*signatureLength), &written, NCRYPT_SILENT_FLAG | paddingFlag);
  if (status != ERROR_SUCCESS) return resultOf(status);
  *signatureLength = written;
  return CKR_OK;
}

}  // namespace tarvenholm::pkcs11
