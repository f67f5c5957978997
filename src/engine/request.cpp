#include "engine/request.h"

#include <algorithm>
#include <string>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "engine/names.h"
#include "engine/providers.h"
#include "engine/settings.h"
#include "platform/lasterror.h"
#include "platform/wincrypt.h"
#include "support/base64.h"
#include "support/errors.h"
#include "support/local_memory.h"
#include "support/textconv.h"

namespace tarvenholm {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The request text is one unbroken line; the line length only has to be valid.
constexpr std::uint8_t kRequestLineBreak = kBase64NoBreaks;
constexpr std::uint32_t kRequestLineLength = 64;

// A failure found before anything is acquired: the code's own text.
int refuse(int code) {
  showErrorBox(errorText(messageBuffer(), kMessageBufferSize, code));
  return code;
}

// A failed step: the system's text for the last error, else the code's own.
int fail(int code) {
  showSystemError(errorText(messageBuffer(), kMessageBufferSize, code));
  return code;
}

bool isAcceptedKeySize(std::int32_t bits) {
  return std::find(kAcceptedKeySizes.begin(), kAcceptedKeySizes.end(), bits) != kAcceptedKeySizes.end();
}

// The key size in the upper 16 bits; the key pair exportable and user-protected.
DWORD keyGenerationFlags(std::int32_t bits) {
  return static_cast<DWORD>(bits) << 16 | CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
}

// A local-heap buffer that a platform call of the two-call kind filled.
struct SizedBuffer {
  LocalPtr<BYTE> bytes;
  DWORD length = 0;
};

// What one call works with. The handles are let go by the clean-up, which
// reports their failures; the buffers and the attribute list go with it.
struct RequestWork {
  const char* names = nullptr;
  std::string provider;  // the provider name setting as the call found it
  DWORD providerType = 0;
  std::int32_t keySize = 0;
  std::string container;
  UniqueCryptProv context;
  UniqueCryptKey key;
  NameAttributeList attributes;
  SizedBuffer subject;
  // Begins with the CERT_PUBLIC_KEY_INFO, whose pointers point into it.
  SizedBuffer publicKey;
  SizedBuffer signedRequest;
  LocalPtr<char> base64;
  UniqueBstr text;

  CERT_PUBLIC_KEY_INFO* publicKeyInfo() const { return reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicKey.bytes.get()); }
};

// The codes of one two-call platform step.
struct SizedStep {
  int sizeFailed;
  int noMemory;
  int fillFailed;
};

constexpr SizedStep kSubjectEncoding = {kEncodeNameSizeFailed, kEncodeNameFailed, kEncodeNameFailed};
constexpr SizedStep kPublicKeyExport = {kExportPublicKeySizeFailed, kNoMemoryForPublicKey, kExportPublicKeyFailed};
constexpr SizedStep kRequestSigning = {kSignRequestSizeFailed, kNoMemoryForRequest, kSignRequestFailed};

// Asks `call` for the size, allocates exactly that, and has `call` fill it.
template <typename Call>
int fillSized(const SizedStep& step, Call call, SizedBuffer& buffer) {
  DWORD length = 0;
  if (!call(nullptr, &length)) return fail(step.sizeFailed);
  buffer.bytes.reset(static_cast<BYTE*>(LocalAlloc(LPTR, length)));
  if (!buffer.bytes) return fail(step.noMemory);
  buffer.length = length;
  if (!call(buffer.bytes.get(), &buffer.length)) return fail(step.fillFailed);
  return kSuccess;
}

int createContainer(RequestWork& work) {
  if (!CryptAcquireContextA(work.context.put(), work.container.c_str(), work.provider.c_str(), work.providerType,
                            CRYPT_NEWKEYSET))
    return fail(kCreateContainerFailed);
  return kSuccess;
}

int generateKeyPair(RequestWork& work) {
  if (!CryptGenKey(work.context.get(), AT_KEYEXCHANGE, keyGenerationFlags(work.keySize), work.key.put()))
    return fail(kGenerateKeyPairFailed);
  return kSuccess;
}

int parseSubject(RequestWork& work) {
  DWORD count = 0;
  NameAttribute* list = parseNames(work.names, &count);
  work.attributes = NameAttributeList(list, NameAttributeListDeleter{count});
  if (!work.attributes) return fail(kNoNameList);
  return kSuccess;
}

// The subject is one relative distinguished name holding every attribute.
int encodeSubject(RequestWork& work) {
  CERT_RDN rdn = {work.attributes.get_deleter().count, reinterpret_cast<CERT_RDN_ATTR*>(work.attributes.get())};
  const CERT_NAME_INFO subject = {1, &rdn};
  return fillSized(
      kSubjectEncoding,
      [&subject](BYTE* out, DWORD* length) { return CryptEncodeObject(kEncoding, X509_NAME, &subject, out, length); },
      work.subject);
}

int exportPublicKey(RequestWork& work) {
  const HCRYPTPROV context = work.context.get();
  return fillSized(
      kPublicKeyExport,
      [context](BYTE* out, DWORD* length) {
        return CryptExportPublicKeyInfo(context, AT_KEYEXCHANGE, kEncoding,
                                        reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(out), length);
      },
      work.publicKey);
}

int signRequest(RequestWork& work) {
  const CERT_REQUEST_INFO body = {
      CERT_REQUEST_V1, {work.subject.length, work.subject.bytes.get()}, *work.publicKeyInfo(), 0, nullptr};
  char sha1WithRsa[] = szOID_OIWSEC_sha1RSASign;
  CRYPT_ALGORITHM_IDENTIFIER signatureAlgorithm = {sha1WithRsa, {0, nullptr}};
  const HCRYPTPROV context = work.context.get();
  return fillSized(
      kRequestSigning,
      [&](BYTE* out, DWORD* length) {
        return CryptSignAndEncodeCertificate(context, AT_KEYEXCHANGE, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &body,
                                             &signatureAlgorithm, nullptr, out, length);
      },
      work.signedRequest);
}

int encodeText(RequestWork& work) {
  // Not examined: the encoder refuses exactly the arguments the length refuses.
  std::uint32_t length = 0;
  base64EncodedLength(work.signedRequest.length, kRequestLineBreak, kRequestLineLength, &length);
  // Zero-filled, one byte more than the text: the text ends there.
  work.base64.reset(static_cast<char*>(LocalAlloc(LPTR, static_cast<SIZE_T>(length) + 1)));
  if (!work.base64) return fail(kNoMemoryForBase64Request);
  if (base64Encode(work.signedRequest.bytes.get(), work.signedRequest.length, work.base64.get(), kRequestLineBreak,
                   kRequestLineLength) != 1)
    return fail(kBase64EncodeFailed);
  return kSuccess;
}

int handBack(RequestWork& work) {
  work.text.reset(systemToBstr(work.base64.get()));
  if (!work.text) return fail(kNoMemoryForBase64Request);
  return kSuccess;
}

// writeKeyRecord shows its failures without reporting them: read back what
// a later installation will read.
bool recordInPlace(const std::string& keyId, const RequestWork& work) {
  const std::string path = keyRecordPath(keyId);
  return regKeyExists(HKEY_LOCAL_MACHINE, path) &&
         regReadString(HKEY_LOCAL_MACHINE, path, kContainerValueName) == work.container &&
         regReadString(HKEY_LOCAL_MACHINE, path, kProviderValueName) == work.provider;
}

// Without its record the request's certificate could never be bound to
// the key, so a request without one is not handed back.
int recordKey(RequestWork& work) {
  std::string keyId;
  if (!publicKeyId(work.publicKeyInfo(), keyId)) return fail(kHashFailed);
  writeKeyRecord(keyId, work.container, work.provider);
  if (!recordInPlace(keyId, work)) return refuse(kNoKeyRecord);
  return kSuccess;
}

using Step = int (*)(RequestWork&);
constexpr Step kSteps[] = {createContainer, generateKeyPair, parseSubject, encodeSubject, exportPublicKey,
                           signRequest,     encodeText,      handBack,     recordKey};

// The slot receives the request or the empty string; then the handles go,
// and a failure to let one go becomes the result.
int cleanUp(RequestWork& work, int result, BSTR* request) {
  if (request != nullptr) *request = result == kSuccess ? work.text.release() : systemToBstr("");
  if (work.key && !work.key.close()) result = fail(kDestroyKeyFailed);
  if (work.context && !work.context.close()) result = fail(kReleaseProviderFailed);
  return result;
}

}  // namespace

int buildRequest(const char* names, BSTR* request) {
  RequestWork work;
  work.names = names;
  work.provider = providerNameSetting();

  work.keySize = keySizeSetting();
  if (!isAcceptedKeySize(work.keySize)) return refuse(kInvalidKeySize);
  if (!checkNames(names)) return refuse(kInvalidName);
  work.providerType = getProvType(work.provider.c_str());
  if (work.providerType == 0) return refuse(kInvalidProviderName);

  // Checked before a container is made, so that none is left behind; the
  // request slot is emptied as for a record that could not be written.
  if (!keyRecordsWritable()) return cleanUp(work, refuse(kNoKeyRecord), request);
  work.container = newContainerName();

  int result = kSuccess;
  for (const Step step : kSteps) {
    result = step(work);
    if (result != kSuccess) break;
  }
  return cleanUp(work, result, request);
}

}  // namespace tarvenholm
