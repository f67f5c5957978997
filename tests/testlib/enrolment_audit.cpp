// OpenSSL's headers come before the platform's (X509_NAME).
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sqlite3.h>

#include "platform/openssl_handles.h"
#include "testlib/enrolment_audit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/keyrecords.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"
#include "platform/unique_fd.h"
#include "platform/registry.h"
#include "testlib/host_fixture.h"
#include "testlib/installed.h"
#include "testlib/key_inspection.h"
#include "testlib/process_start.h"

namespace testing_support {
namespace {

using platform::derOf;
using platform::UniqueBio;
using platform::UniquePkcs7;
using platform::UniquePkey;
using platform::UniqueX509;
using platform::UniqueX509Extension;
using platform::UniqueX509Req;

std::string keyIdOfPublicKey(EVP_PKEY* key) {
  if (key == nullptr) return {};
  const Bytes info = derOf<EVP_PKEY, i2d_PUBKEY>(key);
  return thumbprintOf(info);
}

UniqueX509 loadCertificate(const std::string& path) {
  const UniqueBio file(BIO_new_file(path.c_str(), "r"));
  UniqueX509 certificate(file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!certificate) throw std::runtime_error("cannot read " + path);
  return certificate;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  const UniqueX509Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

std::string registryString(HKEY key, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return {};
  std::string value(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
    return {};
  value.resize(value.find('\0') == std::string::npos ? size : value.find('\0'));
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------

SpawnedHost::SpawnedHost(const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& variables) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  out_.reset(out[0]);
  err_.reset(err[0]);
  const platform::UniqueFd outEnd(out[1]);
  const platform::UniqueFd errEnd(err[1]);
  const platform::UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ProcessStart start;
  start.arguments = {hostBinary()};
  start.arguments.insert(start.arguments.end(), args.begin(), args.end());
  start.environment = hostEnvironment(variables);
  start.input = devNull.get();
  start.output = outEnd.get();
  start.error = errEnd.get();
  pid_ = startProcess(start);
}

SpawnedHost::~SpawnedHost() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

HostRun SpawnedHost::killAfter(std::chrono::microseconds delay, bool& killed) {
  const auto deadline = std::chrono::steady_clock::now() + delay;
  // Short naps, so that a run that ends early is seen as ended, not killed.
  while (!reaped_ && std::chrono::steady_clock::now() < deadline) {
    const pid_t ended = ::waitpid(pid_, &waitStatus_, WNOHANG);
    if (ended == pid_) {
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::min<std::chrono::microseconds>(
        std::chrono::microseconds(200),
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now())));
  }
  if (!reaped_) ::kill(pid_, SIGKILL);
  HostRun run = collect();
  killed = WIFSIGNALED(waitStatus_) && WTERMSIG(waitStatus_) == SIGKILL;
  return run;
}

HostRun SpawnedHost::wait() { return collect(); }

HostRun SpawnedHost::collect() {
  HostRun run;
  // The pipes reach their end when the process is gone.
  run.out = readAll(out_.get());
  run.err = readAll(err_.get());
  if (!reaped_) {
    waitStatus_ = waitForProcess(pid_);
    reaped_ = true;
  }
  run.status = WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : 128 + WTERMSIG(waitStatus_);
  return run;
}

// ---------------------------------------------------------------------------

TestAuthority::TestAuthority(const std::string& directory) {
  if (::access((directory + "/intermediate.key").c_str(), R_OK) != 0)
    commandOutput("bash '" TARVENHOLM_SOURCE_DIR "/scripts/test-ca' '" + directory + "' init");
  root_ = loadCertificate(directory + "/root.pem");
  intermediate_ = loadCertificate(directory + "/intermediate.pem");
  const UniqueBio keyFile(BIO_new_file((directory + "/intermediate.key").c_str(), "r"));
  key_ = UniquePkey(keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key_) throw std::runtime_error("cannot read the intermediate's key");
  rootDer_ = derOf<X509, i2d_X509>(static_cast<X509*>(root_.get()));
  intermediateDer_ = derOf<X509, i2d_X509>(static_cast<X509*>(intermediate_.get()));
}

TestAuthority::Issued TestAuthority::issue(const std::string& requestText, long serial) const {
  auto* intermediate = static_cast<X509*>(intermediate_.get());
  const Bytes requestDer = base64Bytes(requestText);
  const unsigned char* cursor = requestDer.data();
  const UniqueX509Req request(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(requestDer.size())));
  if (!request) throw std::runtime_error("not a request: " + requestText);

  const UniqueX509 user(X509_new());
  if (!user || X509_set_version(user.get(), 2) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(user.get()), serial) != 1 ||
      X509_set_issuer_name(user.get(), X509_get_subject_name(intermediate)) != 1 ||
      X509_set_subject_name(user.get(), X509_REQ_get_subject_name(request.get())) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(user.get()), -60) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(user.get()), 365L * 24 * 3600) == nullptr ||
      X509_set_pubkey(user.get(), X509_REQ_get0_pubkey(request.get())) != 1 ||
      !addExtension(user.get(), intermediate, NID_basic_constraints, "CA:FALSE") ||
      !addExtension(user.get(), intermediate, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
      !addExtension(user.get(), intermediate, NID_subject_key_identifier, "hash") ||
      X509_sign(user.get(), static_cast<EVP_PKEY*>(key_.get()), EVP_sha256()) <= 0)
    throw std::runtime_error("could not issue a certificate");

  // A certificates-only collection, as `openssl crl2pkcs7 -nocrl` makes it.
  const UniquePkcs7 collection(PKCS7_new());
  if (!collection || PKCS7_set_type(collection.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(collection.get(), NID_pkcs7_data) != 1 ||
      PKCS7_add_certificate(collection.get(), static_cast<X509*>(root_.get())) != 1 ||
      PKCS7_add_certificate(collection.get(), intermediate) != 1 ||
      PKCS7_add_certificate(collection.get(), user.get()) != 1)
    throw std::runtime_error("could not bundle the chain");
  return Issued{derOf<PKCS7, i2d_PKCS7>(collection.get()), derOf<X509, i2d_X509>(user.get())};
}

// ---------------------------------------------------------------------------

Bytes base64Bytes(const std::string& text) {
  Bytes bytes(text.size() / 4 * 3 + 3);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0 || text.size() % 4 != 0) return {};
  std::size_t padding = 0;
  for (std::size_t at = text.size(); at > 0 && text[at - 1] == '=' && padding < 2; --at) ++padding;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

std::string requestKeyId(const std::string& requestText) {
  const Bytes der = base64Bytes(requestText);
  const unsigned char* cursor = der.data();
  const UniqueX509Req request(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(der.size())));
  return request ? keyIdOfPublicKey(X509_REQ_get0_pubkey(request.get())) : std::string();
}

std::string certificateKeyId(const Bytes& certificate) {
  const unsigned char* cursor = certificate.data();
  const UniqueX509 parsed(d2i_X509(nullptr, &cursor, static_cast<long>(certificate.size())));
  return parsed ? keyIdOfPublicKey(X509_get0_pubkey(parsed.get())) : std::string();
}

std::string thumbprintOf(const Bytes& der) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), digest);
  return hexText(Bytes(digest, digest + sizeof digest));
}

std::string hiveIntegrity(const std::string& path) {
  // Opened for writing, as the next registry call would: a run killed inside
  // a transaction leaves a hot journal that must be rolled back first.
  sqlite3* database = nullptr;
  if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    const std::string problem = database != nullptr ? sqlite3_errmsg(database) : "cannot open";
    sqlite3_close(database);
    return problem;
  }
  std::string report;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      if (!report.empty()) report += "\n";
      report += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
  } else {
    report = sqlite3_errmsg(database);
  }
  sqlite3_finalize(statement);
  sqlite3_close(database);
  return report;
}

std::optional<KeyRecord> keyRecordOf(const std::string& keyId) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tarvenholm::keyRecordPath(keyId).c_str(), 0, KEY_READ, &opened) !=
      ERROR_SUCCESS)
    return std::nullopt;
  const UniqueHkey record(opened);
  return KeyRecord{registryString(record.get(), tarvenholm::kContainerValueName),
                   registryString(record.get(), tarvenholm::kProviderValueName)};
}

std::optional<std::string> problemWithKey(const std::string& keyId) {
  if (keyId.empty()) return "no key identifier";
  const std::optional<KeyRecord> record = keyRecordOf(keyId);
  if (!record) return "no key record for " + keyId;
  if (record->container.empty() || record->provider.empty()) return "an incomplete key record for " + keyId;
  if (containerState(record->container) != ContainerState::WithKeyPair)
    return "container " + record->container + " of " + keyId + " holds no key pair";
  if (containerKeyId(record->container) != keyId)
    return "container " + record->container + " holds another key than " + keyId;
  return std::nullopt;
}

std::optional<std::string> problemWithBinding(const Bytes& der) {
  const std::string keyId = certificateKeyId(der);
  const std::optional<KeyRecord> record = keyRecordOf(keyId);
  if (!record) return "no key record for the certificate " + thumbprintOf(der);
  int copies = 0;
  for (const StoredCertificate& stored : storeContents(u"MY")) {
    if (stored.der != der) continue;
    ++copies;
    if (!stored.keyProvider) return "certificate " + thumbprintOf(der) + " has no key-provider property";
    if (stored.keyProvider->containerName != record->container)
      return "certificate " + thumbprintOf(der) + " is bound to " + stored.keyProvider->containerName +
             " instead of " + record->container;
  }
  if (copies != 1) return "certificate " + thumbprintOf(der) + " is in MY " + std::to_string(copies) + " times";
  return std::nullopt;
}

}  // namespace testing_support
