#include "platform/structure_decode.h"

#include <openssl/err.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace platform {
namespace {

// A library context whose only provider is OpenSSL's null provider, which
// offers no algorithms: without it a new context would load the default one.
class KeylessContext {
 public:
  KeylessContext() : context_(OSSL_LIB_CTX_new()) {
    if (context_) nullProvider_.reset(OSSL_PROVIDER_load(context_.get(), "null"));
  }

  // Null when it could not be made: OpenSSL's default context then does the
  // decoding, at its usual cost.
  OSSL_LIB_CTX* get() const { return nullProvider_ ? context_.get() : nullptr; }

 private:
  // Declared in this order so the provider is unloaded before its context goes.
  UniqueLibContext context_;
  UniqueProvider nullProvider_;
};

OSSL_LIB_CTX* keylessContext() {
  static const KeylessContext context;
  return context.get();
}

template <class T>
T* decodeItem(const ASN1_ITEM* item, const unsigned char*& cursor, long length) {
  return reinterpret_cast<T*>(ASN1_item_d2i_ex(nullptr, &cursor, length, item, keylessContext(), nullptr));
}

// The message isOnePkcs7Message decoded last, with its bytes.
struct KeptMessage {
  std::mutex mutex;
  std::vector<unsigned char> bytes;
  UniquePkcs7 message;
};

KeptMessage& keptMessage() {
  // Made after OpenSSL's own start, so that it is freed before OpenSSL's end.
  keylessContext();
  static KeptMessage kept;
  return kept;
}

}  // namespace

UniquePkcs7 decodePkcs7Structure(const unsigned char*& cursor, long length) {
  KeptMessage& kept = keptMessage();
  {
    const std::lock_guard<std::mutex> lock(kept.mutex);
    if (kept.message && length >= 0 && kept.bytes.size() == static_cast<std::size_t>(length) &&
        std::memcmp(kept.bytes.data(), cursor, kept.bytes.size()) == 0) {
      cursor += length;
      kept.bytes.clear();
      return std::move(kept.message);
    }
  }
  return UniquePkcs7(decodeItem<PKCS7>(ASN1_ITEM_rptr(PKCS7), cursor, length));
}

bool isOnePkcs7Message(const unsigned char* bytes, std::size_t size) {
  const unsigned char* cursor = bytes;
  UniquePkcs7 message(decodeItem<PKCS7>(ASN1_ITEM_rptr(PKCS7), cursor, static_cast<long>(size)));
  ERR_clear_error();
  if (!message || cursor != bytes + size) return false;
  KeptMessage& kept = keptMessage();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  kept.bytes.assign(bytes, bytes + size);
  kept.message = std::move(message);
  return true;
}

UniqueX509 decodeCertificateStructure(const unsigned char*& cursor, long length) {
  return UniqueX509(decodeItem<X509>(ASN1_ITEM_rptr(X509), cursor, length));
}

}  // namespace platform
