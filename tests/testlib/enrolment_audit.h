// What the reliability tests need to drive the `tarvenholm` command hard
// and then check, from outside, what it left in the user's home: host runs
// that can be cut short with SIGKILL, an authority that issues certificates
// in-process (fast enough for hundreds of requests, safe from several
// processes at once), and audits of the hives, key records, containers and
// stores.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"
#include "testlib/host_process.h"
#include "testlib/test_certs.h"

namespace testing_support {

// A `tarvenholm` run started now and not waited for. Standard input is
// empty; the environment is the test's with LANG=C and `variables` added.
class SpawnedHost {
 public:
  explicit SpawnedHost(const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& variables = {});
  ~SpawnedHost();
  SpawnedHost(const SpawnedHost&) = delete;
  SpawnedHost& operator=(const SpawnedHost&) = delete;

  // Sends SIGKILL after `delay` unless the run has ended by then, and
  // collects the run. `killed` tells whether the signal ended it.
  HostRun killAfter(std::chrono::microseconds delay, bool& killed);
  // Waits for the end of the run.
  HostRun wait();

 private:
  HostRun collect();
  int pid_ = -1;
  platform::UniqueFd out_;
  platform::UniqueFd err_;
  bool reaped_ = false;
  int waitStatus_ = 0;
};

// Certificates for requests, issued by the intermediate of scripts/test-ca
// in `directory` (made there with its init action when it is not there
// yet, so that other processes can load the same authority): the chain
// root, intermediate, user as a certificates-only PKCS#7, made in-process
// with OpenSSL.
class TestAuthority {
 public:
  explicit TestAuthority(const std::string& directory);
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  struct Issued {
    Bytes collection;  // DER PKCS#7
    Bytes user;        // DER of the user's certificate
  };
  // For a request as genreq prints it (one line of base64). `serial` must
  // differ between the certificates of one authority.
  Issued issue(const std::string& requestText, long serial) const;

  const Bytes& rootDer() const { return rootDer_; }
  const Bytes& intermediateDer() const { return intermediateDer_; }

 private:
  std::shared_ptr<void> root_;          // X509
  std::shared_ptr<void> intermediate_;  // X509
  std::shared_ptr<void> key_;           // EVP_PKEY of the intermediate
  Bytes rootDer_;
  Bytes intermediateDer_;
};

// The bytes of one line of base64; empty when it is not base64.
Bytes base64Bytes(const std::string& text);

// Key identifier (SHA-1 of the DER SubjectPublicKeyInfo, 40 upper-case
// hexadecimal digits) of a request in base64, or of a DER certificate;
// empty when it does not parse.
std::string requestKeyId(const std::string& requestText);
std::string certificateKeyId(const Bytes& certificate);
// SHA-1 of the DER, 40 upper-case hexadecimal digits.
std::string thumbprintOf(const Bytes& der);

// SQLite's "PRAGMA integrity_check" of a hive file, opened read-only: "ok"
// for a sound file, else what SQLite reports.
std::string hiveIntegrity(const std::string& path);

// The key record of `keyId` in the machine hive, read without writing.
struct KeyRecord {
  std::string container;  // value "a"
  std::string provider;   // value "b"
};
std::optional<KeyRecord> keyRecordOf(const std::string& keyId);

// Whether `keyId` has a key record whose container holds the key pair of
// that very public key; the reason when not.
std::optional<std::string> problemWithKey(const std::string& keyId);

// Whether the user's certificate `der` is in MY with a key-provider
// property naming the container of its key record; the reason when not.
std::optional<std::string> problemWithBinding(const Bytes& der);

}  // namespace testing_support
