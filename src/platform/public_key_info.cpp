#include "platform/public_key_info.h"

#include <cstring>
#include <string>

#include "platform/crypt_asn1.h"
#include "platform/crypt_context.h"
#include "platform/lasterror.h"
#include "platform/sized_output.h"

namespace platform {
namespace {

// The DER of the parameters, as one complete element, into an ASN1_TYPE.
bool parseParameters(const CRYPT_OBJID_BLOB& parameters, UniqueAsn1Type& parsed) {
  if (parameters.cbData == 0) return true;
  if (parameters.pbData == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  const unsigned char* cursor = parameters.pbData;
  parsed.reset(d2i_ASN1_TYPE(nullptr, &cursor, static_cast<long>(parameters.cbData)));
  if (!parsed || cursor != parameters.pbData + parameters.cbData) return failWith(CRYPT_E_ASN1_CORRUPT);
  return true;
}

std::string objectText(const ASN1_OBJECT* object) {
  const int length = OBJ_obj2txt(nullptr, 0, object, 1);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(text.data(), length + 1, object, 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

}  // namespace

bool setAlgorithm(X509_ALGOR* algorithm, const CRYPT_ALGORITHM_IDENTIFIER& given) {
  if (given.pszObjId == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  UniqueAsn1Object objectId(objectIdFromText(given.pszObjId));
  if (!objectId) return failWith(CRYPT_E_OID_FORMAT);
  UniqueAsn1Type parameters;
  if (!parseParameters(given.Parameters, parameters)) return false;
  replaceField(algorithm->algorithm, std::move(objectId));
  replaceField(algorithm->parameter, std::move(parameters));
  return true;
}

UniquePublicKeyInfoAsn publicKeyInfoAsn(const CERT_PUBLIC_KEY_INFO& info) {
  if (info.PublicKey.cbData != 0 && info.PublicKey.pbData == nullptr) {
    failWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  UniquePublicKeyInfoAsn spki(PublicKeyInfoAsn_new());
  if (!spki) {
    failWith(NTE_NO_MEMORY);
    return nullptr;
  }
  if (!setAlgorithm(spki->algorithm, info.Algorithm)) return nullptr;
  if (!setBitString(spki->publicKey, info.PublicKey.pbData, static_cast<int>(info.PublicKey.cbData),
                    info.PublicKey.cUnusedBits)) {
    failWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return spki;
}

bool encodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::vector<BYTE>& der) {
  UniquePublicKeyInfoAsn spki = publicKeyInfoAsn(info);
  if (!spki) return false;
  return derOf<PublicKeyInfoAsn, i2d_PublicKeyInfoAsn>(spki.get(), der) || failWith(CRYPT_E_BAD_ENCODE);
}

BOOL decodePublicKeyInfo(const BYTE* der, std::size_t derLength, CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
  const unsigned char* cursor = der;
  UniquePublicKeyInfoAsn spki(d2i_PublicKeyInfoAsn(nullptr, &cursor, static_cast<long>(derLength)));
  if (!spki || cursor != der + derLength) return failWith(CRYPT_E_ASN1_CORRUPT);

  const std::string objectId = objectText(spki->algorithm->algorithm);
  if (objectId.empty()) return failWith(CRYPT_E_ASN1_CORRUPT);
  unsigned char* parameters = nullptr;
  int parametersLength = 0;
  if (spki->algorithm->parameter != nullptr) {
    parametersLength = i2d_ASN1_TYPE(spki->algorithm->parameter, &parameters);
    if (parametersLength <= 0) return failWith(CRYPT_E_BAD_ENCODE);
  }
  UniqueOpensslBytes ownedParameters(parameters);
  const ASN1_BIT_STRING* key = spki->publicKey;
  const DWORD unusedBits =
      (key->flags & ASN1_STRING_FLAG_BITS_LEFT) ? static_cast<DWORD>(key->flags & 0x07) : 0;

  const std::size_t size = sizeof(CERT_PUBLIC_KEY_INFO) + objectId.size() + 1 +
                           static_cast<std::size_t>(parametersLength) + static_cast<std::size_t>(key->length);
  BOOL result = FALSE;
  if (!callerBufferFits(static_cast<DWORD>(size), info, length, result)) return result;

  BYTE* tail = reinterpret_cast<BYTE*>(info) + sizeof(CERT_PUBLIC_KEY_INFO);
  *info = CERT_PUBLIC_KEY_INFO{};
  info->Algorithm.pszObjId = reinterpret_cast<LPSTR>(tail);
  std::memcpy(tail, objectId.c_str(), objectId.size() + 1);
  tail += objectId.size() + 1;
  if (parametersLength > 0) {
    info->Algorithm.Parameters = CRYPT_OBJID_BLOB{static_cast<DWORD>(parametersLength), tail};
    std::memcpy(tail, parameters, static_cast<std::size_t>(parametersLength));
    tail += parametersLength;
  }
  info->PublicKey = CRYPT_BIT_BLOB{static_cast<DWORD>(key->length), key->length > 0 ? tail : nullptr, unusedBits};
  if (key->length > 0) std::memcpy(tail, key->data, static_cast<std::size_t>(key->length));
  return TRUE;
}

}  // namespace platform
