#include "platform/structure_decode.h"

#include <openssl/provider.h>

namespace platform {
namespace {

// A library context whose only provider is OpenSSL's null provider, which
// offers no algorithms: without it a new context would load the default one.
class KeylessContext {
 public:
  KeylessContext() : context_(OSSL_LIB_CTX_new()) {
    if (context_) nullProvider_ = OSSL_PROVIDER_load(context_, "null");
  }
  ~KeylessContext() {
    if (nullProvider_ != nullptr) OSSL_PROVIDER_unload(nullProvider_);
    OSSL_LIB_CTX_free(context_);
  }
  KeylessContext(const KeylessContext&) = delete;
  KeylessContext& operator=(const KeylessContext&) = delete;

  // Null when it could not be made: OpenSSL's default context then does the
  // decoding, at its usual cost.
  OSSL_LIB_CTX* get() const { return nullProvider_ != nullptr ? context_ : nullptr; }

 private:
  OSSL_LIB_CTX* context_;
  OSSL_PROVIDER* nullProvider_ = nullptr;
};

OSSL_LIB_CTX* keylessContext() {
  static const KeylessContext context;
  return context.get();
}

template <class T>
T* decodeItem(const ASN1_ITEM* item, const unsigned char*& cursor, long length) {
  return reinterpret_cast<T*>(ASN1_item_d2i_ex(nullptr, &cursor, length, item, keylessContext(), nullptr));
}

}  // namespace

UniquePkcs7 decodePkcs7Structure(const unsigned char*& cursor, long length) {
  return UniquePkcs7(decodeItem<PKCS7>(ASN1_ITEM_rptr(PKCS7), cursor, length));
}

UniqueX509 decodeCertificateStructure(const unsigned char*& cursor, long length) {
  return UniqueX509(decodeItem<X509>(ASN1_ITEM_rptr(X509), cursor, length));
}

}  // namespace platform
