// What request generation costs beyond the cryptography itself: a whole
// buildRequest (new container, key pair, subject, export, signing, base64,
// key record) against bare OpenSSL generating the same key and signing an
// equivalent request (X509_REQ, one multi-valued RDN, SHA-1 with RSA).
//
// The same for a modern request (tarvenholm request's buildModernRequest:
// checks, key storage container, key pair, subject, extensions, SHA-256
// signature, key record) with RSA 3072 and EC P-256, against OpenSSL making
// the same key and request with the same extensions.
//
// Each is timed as its callers run it (the host's genreq and request, the
// bridge): one registry transaction, committed durably once at its end.
// A request writes two hives (the key in the user's, its record in the
// machine hive), each commit one sync; the floor any durable request has is
// measured beside them: one 4 KiB write and fdatasync of a file in the same
// home.
//
// RSA key generation varies widely from one key to the next, so each
// benchmark runs many repetitions and the medians are compared; the
// repetitions of the two are interleaved so that both see the same machine.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/modern_request.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "interleaved_main.h"
#include "platform/application.h"
#include "platform/bstr.h"
#include "platform/home.h"
#include "platform/openssl_handles.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "platform/unique_fd.h"
#include "support/errors.h"
#include "testlib/test_home.h"

namespace {

constexpr const char* kNames = "2.5.4.3=Test User;2.5.4.10=Test Org;2.5.4.6=MX";

// A home of its own for the whole run; message boxes and password prompts
// answered at once.
void useBenchHome() {
  static testing_support::TempHome home;
  platform::setMessageBoxSink([](const char*, const char*, UINT) { return 1; });
  platform::setPasswordSink([](platform::PasswordPurpose, const char*, std::string&) { return false; });
}

void BM_BuildRequest(benchmark::State& state) {
  useBenchHome();
  tarvenholm::setKeySizeSetting(static_cast<std::int32_t>(state.range(0)));
  for (auto _ : state) {
    platform::RegistryTransaction operation;
    BSTR request = nullptr;
    if (tarvenholm::buildRequest(kNames, &request) != tarvenholm::kSuccess) state.SkipWithError("buildRequest failed");
    if (operation.commit() != ERROR_SUCCESS) state.SkipWithError("commit failed");
    benchmark::DoNotOptimize(request);
    SysFreeString(request);
  }
}

// The request text that OpenSSL alone makes for a new key.
bool openSslRequest(int bits, std::string& text) {
  const platform::UniquePkey key(EVP_RSA_gen(static_cast<unsigned>(bits)));
  const platform::UniqueX509Req request(X509_REQ_new());
  if (!key || !request || X509_REQ_set_version(request.get(), 0) != 1) return false;
  X509_name_st* subject = X509_REQ_get_subject_name(request.get());
  const auto add = [subject](const char* field, int type, const char* value, int set) {
    return X509_NAME_add_entry_by_txt(subject, field, type, reinterpret_cast<const unsigned char*>(value), -1, -1,
                                      set) == 1;
  };
  if (!add("2.5.4.3", V_ASN1_PRINTABLESTRING, "Test User", 0) ||
      !add("2.5.4.10", V_ASN1_PRINTABLESTRING, "Test Org", -1) || !add("2.5.4.6", V_ASN1_PRINTABLESTRING, "MX", -1) ||
      X509_REQ_set_pubkey(request.get(), key.get()) != 1 || X509_REQ_sign(request.get(), key.get(), EVP_sha1()) <= 0)
    return false;
  std::vector<unsigned char> der;
  if (!platform::derOf<X509_REQ, i2d_X509_REQ>(request.get(), der)) return false;
  text.assign(4 * ((der.size() + 2) / 3) + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(), static_cast<int>(der.size()));
  return true;
}

void BM_OpenSslRequest(benchmark::State& state) {
  std::string text;
  for (auto _ : state) {
    if (!openSslRequest(static_cast<int>(state.range(0)), text)) state.SkipWithError("OpenSSL failed");
    benchmark::DoNotOptimize(text.data());
  }
}

const char* const kKeys[] = {"rsa:3072", "ec:p256"};

void BM_ModernRequest(benchmark::State& state) {
  useBenchHome();
  tarvenholm::ModernRequestOptions options;
  options.key = kKeys[state.range(0)];
  options.altNames = {"email:test@example.org", "dns:test.example.org"};
  options.extendedKeyUsage = "clientAuth";
  for (auto _ : state) {
    platform::RegistryTransaction operation;
    const tarvenholm::ModernRequestResult made = tarvenholm::buildModernRequest("CN=Test User,O=Test Org,C=MX", options);
    if (made.status != tarvenholm::ModernRequestStatus::Made) state.SkipWithError(made.problem.c_str());
    if (operation.commit() != ERROR_SUCCESS) state.SkipWithError("commit failed");
    benchmark::DoNotOptimize(made.der.data());
  }
}

bool openSslRequest(const char* key, std::vector<unsigned char>& der) {
  platform::UniquePkey pkey(key[0] == 'e' ? EVP_EC_gen("P-256") : EVP_RSA_gen(3072));
  platform::UniqueX509Req request(X509_REQ_new());
  if (!pkey || !request || X509_REQ_set_version(request.get(), 0) != 1) return false;
  X509_name_st* subject = X509_REQ_get_subject_name(request.get());
  for (const auto& [field, value] : {std::pair{"C", "MX"}, {"O", "Test Org"}, {"CN", "Test User"}})
    if (X509_NAME_add_entry_by_txt(subject, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value), -1,
                                   -1, 0) != 1)
      return false;
  STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
  const platform::UniqueX509Extensions owned(extensions);
  X509_EXTENSION* altNames =
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "email:test@example.org,DNS:test.example.org");
  X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage, "clientAuth");
  if (altNames == nullptr || usage == nullptr) return false;
  sk_X509_EXTENSION_push(extensions, altNames);
  sk_X509_EXTENSION_push(extensions, usage);
  return X509_REQ_add_extensions(request.get(), extensions) == 1 &&
         X509_REQ_set_pubkey(request.get(), pkey.get()) == 1 &&
         X509_REQ_sign(request.get(), pkey.get(), EVP_sha256()) > 0 &&
         platform::derOf<X509_REQ, i2d_X509_REQ>(request.get(), der);
}

void BM_OpenSslModernRequest(benchmark::State& state) {
  std::vector<unsigned char> der;
  for (auto _ : state) {
    if (!openSslRequest(kKeys[state.range(0)], der)) state.SkipWithError("OpenSSL failed");
    benchmark::DoNotOptimize(der.data());
  }
}

void BM_OneSync(benchmark::State& state) {
  useBenchHome();
  const platform::UniqueFd file(
      ::open((platform::homeDirectory() + "/sync-floor").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  const std::vector<char> page(4096, 'x');
  for (auto _ : state) {
    if (::pwrite(file.get(), page.data(), page.size(), 0) != static_cast<ssize_t>(page.size()) ||
        ::fdatasync(file.get()) != 0)
      state.SkipWithError("write or sync failed");
  }
}

BENCHMARK(BM_OneSync)->Iterations(20)->Repetitions(21)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModernRequest)->Arg(0)->Iterations(1)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslModernRequest)->Arg(0)->Iterations(1)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModernRequest)->Arg(1)->Iterations(20)->Repetitions(21)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslModernRequest)->Arg(1)->Iterations(20)->Repetitions(21)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_BuildRequest)->Arg(1024)->Iterations(4)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslRequest)->Arg(1024)->Iterations(4)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildRequest)->Arg(2048)->Iterations(1)->Repetitions(81)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslRequest)->Arg(2048)->Iterations(1)->Repetitions(81)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runInterleaved(argc, argv); }
