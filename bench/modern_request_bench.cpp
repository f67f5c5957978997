// What a modern request costs beyond the cryptography itself: a whole
// buildModernRequest (checks, new key storage container, key pair, subject,
// extensions, signing, key record), as `tarvenholm request` has the control
// make it, against bare OpenSSL generating the same key and signing an
// equivalent request (X509_REQ, same subject and extensions, SHA-256).
// Repetitions of the two are interleaved and their medians compared.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/modern_request.h"
#include "platform/application.h"
#include "platform/openssl_handles.h"

namespace {

const char* const kKeys[] = {"rsa:3072", "ec:p256"};

class BenchHome {
 public:
  BenchHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvenholm-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a home");
    path_ = pattern;
    ::setenv("TARVENHOLM_HOME", path_.c_str(), 1);
    platform::setMessageBoxSink([](const char*, const char*, UINT) { return 1; });
    platform::setPasswordSink([](platform::PasswordPurpose, const char*, std::string&) { return false; });
  }
  ~BenchHome() { std::filesystem::remove_all(path_); }

 private:
  std::string path_;
};

void BM_ModernRequest(benchmark::State& state) {
  static BenchHome home;
  tarvenholm::ModernRequestOptions options;
  options.key = kKeys[state.range(0)];
  options.altNames = {"email:test@example.org", "dns:test.example.org"};
  options.extendedKeyUsage = "clientAuth";
  for (auto _ : state) {
    const tarvenholm::ModernRequestResult made = tarvenholm::buildModernRequest("CN=Test User,O=Test Org,C=MX", options);
    if (made.status != tarvenholm::ModernRequestStatus::Made) state.SkipWithError(made.problem.c_str());
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

BENCHMARK(BM_ModernRequest)->Arg(0)->Iterations(1)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslModernRequest)->Arg(0)->Iterations(1)->Repetitions(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModernRequest)->Arg(1)->Iterations(20)->Repetitions(21)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslModernRequest)->Arg(1)->Iterations(20)->Repetitions(21)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> arguments(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  arguments.insert(arguments.begin() + 1, {interleave.data(), aggregates.data()});
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
