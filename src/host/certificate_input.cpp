#include "host/certificate_input.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host/openssl_owned.h"
#include "platform/structure_decode.h"
#include "platform/unique_fd.h"

namespace tarvenholm::host {
namespace {

// More than any certificate collection holds; guards against reading a
// device or a huge file by mistake.
constexpr std::size_t kLargestInput = 16 * 1024 * 1024;

constexpr const char* kCertificateHeaders[] = {"-----BEGIN CERTIFICATE-----", "-----BEGIN X509 CERTIFICATE-----"};

bool contains(const std::vector<unsigned char>& bytes, const char* text) {
  const std::string_view wanted(text);
  return std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end()) != bytes.end();
}

bool hasCertificateBlocks(const std::vector<unsigned char>& input) {
  return std::any_of(std::begin(kCertificateHeaders), std::end(kCertificateHeaders),
                     [&input](const char* header) { return contains(input, header); });
}

std::optional<std::vector<unsigned char>> derOfPkcs7(PKCS7* collection) {
  std::vector<unsigned char> der;
  if (!platform::derOf<PKCS7, i2d_PKCS7>(collection, der)) return std::nullopt;
  return der;
}

// A certificates-only collection as authorities hand them out: signed data
// without signers, its content of type data left out.
std::optional<std::vector<unsigned char>> bundle(const std::vector<UniqueX509>& certificates) {
  UniquePkcs7 collection(PKCS7_new());
  if (!collection || PKCS7_set_type(collection.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(collection.get(), NID_pkcs7_data) != 1 || PKCS7_set_detached(collection.get(), 1) != 1)
    return std::nullopt;
  for (const UniqueX509& certificate : certificates)
    if (PKCS7_add_certificate(collection.get(), certificate.get()) != 1) return std::nullopt;
  return derOfPkcs7(collection.get());
}

// The next CERTIFICATE block's certificate, read as PEM_read_bio_X509 reads
// it, errors included, but without the key object OpenSSL would build for
// it: the certificate is only bundled. Null at the end of the text or at a
// block that does not hold one; OpenSSL's last error says which.
UniqueX509 nextPemCertificate(BIO* reader) {
  unsigned char* data = nullptr;
  long length = 0;
  if (PEM_bytes_read_bio(&data, &length, nullptr, PEM_STRING_X509, reader, nullptr, nullptr) != 1) return nullptr;
  const platform::UniqueOpensslBytes owned(data);
  const unsigned char* cursor = data;
  UniqueX509 certificate = platform::decodeCertificateStructure(cursor, length);
  if (!certificate) ERR_raise(ERR_LIB_PEM, ERR_R_ASN1_LIB);
  return certificate;
}

CertificateText fromPem(const std::vector<unsigned char>& input) {
  UniqueBio reader(BIO_new_mem_buf(input.data(), static_cast<int>(input.size())));
  std::vector<UniqueX509> certificates;
  ERR_clear_error();
  while (reader) {
    UniqueX509 certificate = nextPemCertificate(reader.get());
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  const unsigned long stop = ERR_peek_last_error();
  ERR_clear_error();
  if (!reader || ERR_GET_LIB(stop) != ERR_LIB_PEM || ERR_GET_REASON(stop) != PEM_R_NO_START_LINE ||
      certificates.empty())
    return {{},
            Message{"a CERTIFICATE block of the PEM text does not hold a certificate",
                    "un bloque CERTIFICATE del texto PEM no contiene un certificado"}};
  std::optional<std::vector<unsigned char>> der = bundle(certificates);
  if (!der) return {{}, Message{"the certificates could not be bundled", "no se pudieron reunir los certificados"}};
  return {base64Line(*der), std::nullopt};
}

}  // namespace

std::optional<std::vector<unsigned char>> readInput(const std::string& source) {
  const bool standardInput = source == "-";
  const platform::UniqueFd opened =
      standardInput ? platform::UniqueFd() : platform::UniqueFd::openForReading(source.c_str());
  const int file = standardInput ? STDIN_FILENO : opened.get();
  const std::string shownName = standardInput ? "standard input" : source;
  auto failed = [&shownName](int error) {
    reportFailure({"cannot read " + shownName + ": " + systemErrorText(error),
                   "no se pudo leer " + shownName + ": " + systemErrorText(error)});
    return std::nullopt;
  };
  if (file < 0) return failed(errno);
  std::vector<unsigned char> bytes;
  unsigned char chunk[65536];
  for (;;) {
    const ssize_t count = ::read(file, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return failed(errno);
    if (count == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + count);
    if (bytes.size() > kLargestInput) return failed(EFBIG);
  }
  return bytes;
}

CertificateText certificateTextFor(const std::vector<unsigned char>& input) {
  if (hasCertificateBlocks(input)) return fromPem(input);
  if (platform::isOnePkcs7Message(input.data(), input.size())) return {base64Line(input), std::nullopt};
  if (UniqueX509 certificate = certificateFromDer(input.data(), input.size())) {
    std::vector<UniqueX509> one;
    one.push_back(std::move(certificate));
    std::optional<std::vector<unsigned char>> der = bundle(one);
    if (!der) return {{}, Message{"the certificate could not be bundled", "no se pudo empaquetar el certificado"}};
    return {base64Line(*der), std::nullopt};
  }
  ERR_clear_error();
  return {std::string(input.begin(), input.end()), std::nullopt};
}

}  // namespace tarvenholm::host
