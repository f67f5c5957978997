#include "host/openssl_owned.h"

#include <openssl/evp.h>

namespace tarvenholm::host {

UniqueX509 certificateFromDer(const unsigned char* der, std::size_t length) {
  const unsigned char* cursor = der;
  UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(length)));
  if (!certificate || cursor != der + length) return nullptr;
  return certificate;
}

std::string base64Line(const std::vector<unsigned char>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(written));
  return text;
}

}  // namespace tarvenholm::host
