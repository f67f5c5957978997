#include "host/pkcs12_file.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/unique_fd.h"

namespace tarvenholm::host {
namespace {

// Key derivation and MAC rounds: costly enough to slow down guessing.
constexpr int kPkcs12Iterations = 100000;
// No real chain is longer; stops a loop of certificates issuing each other.
constexpr std::size_t kLongestChain = 16;

bool issued(X509* issuer, X509* subject) {
  const bool result =
      X509_check_issued(issuer, subject) == X509_V_OK && X509_verify(subject, X509_get0_pubkey(issuer)) == 1;
  ERR_clear_error();
  return result;
}

}  // namespace

std::vector<X509*> chainOf(X509* certificate, const std::vector<UniqueX509>& authorities) {
  std::vector<X509*> chain;
  X509* current = certificate;
  while (chain.size() < kLongestChain && X509_check_issued(current, current) != X509_V_OK) {
    auto issuer = std::find_if(authorities.begin(), authorities.end(), [&](const UniqueX509& candidate) {
      return candidate.get() != certificate && std::find(chain.begin(), chain.end(), candidate.get()) == chain.end() &&
             issued(candidate.get(), current);
    });
    if (issuer == authorities.end()) break;
    chain.push_back(issuer->get());
    current = issuer->get();
  }
  ERR_clear_error();
  return chain;
}

std::optional<std::vector<unsigned char>> pkcs12Of(EVP_PKEY* key, X509* certificate, const std::vector<X509*>& chain,
                                                   const std::string& password, const std::string& friendlyName) {
  UniqueX509Stack authorities(sk_X509_new_null());
  if (!authorities) return std::nullopt;
  for (X509* authority : chain) {
    if (X509_up_ref(authority) != 1) return std::nullopt;
    UniqueX509 reference(authority);
    if (sk_X509_push(authorities.get(), reference.get()) <= 0) return std::nullopt;
    reference.release();
  }
  UniquePkcs12 file(PKCS12_create(password.c_str(), friendlyName.c_str(), key, certificate, authorities.get(), NID_aes_256_cbc,
                                  NID_aes_256_cbc, kPkcs12Iterations, kPkcs12Iterations, 0));
  std::vector<unsigned char> der;
  const bool encoded = file && platform::derOf<PKCS12, i2d_PKCS12>(file.get(), der);
  ERR_clear_error();
  if (!encoded) return std::nullopt;
  return der;
}

std::string commonNameOf(X509* certificate) {
  const X509_name_st* subject = X509_get_subject_name(certificate);
  int index = -1;
  for (int next; (next = X509_NAME_get_index_by_NID(subject, NID_commonName, index)) >= 0;) index = next;
  std::string name =
      index < 0 ? "" : platform::utf8Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  ERR_clear_error();
  return name;
}

bool writePrivateFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  // Never through a symbolic link: it could point at any file of the user's.
  platform::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!file.valid()) return false;
  bool written =
      ::fchmod(file.get(), S_IRUSR | S_IWUSR) == 0 && platform::writeAll(file.get(), bytes.data(), bytes.size());
  if (!file.close()) written = false;
  if (!written) {
    const int error = errno;
    ::unlink(path.c_str());
    errno = error;
  }
  return written;
}

}  // namespace tarvenholm::host
