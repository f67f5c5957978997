// Certificate installation: how many certificates per second a collection
// installs, and how the cost of adding one certificate to a store grows
// with what the store already holds.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install/install.h"
#include "platform/wincrypt.h"
#include "testlib/installed.h"
#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace {

using namespace testing_support;

// Authority certificates under one root, all with one quick key.
class Authorities {
 public:
  Authorities()
      : key_(TestKey::ed25519()),
        root_(TestCertificate::selfSigned(specWith("/CN=Bench Root", {basicConstraints(true, true)}), key_)) {}

  const TestCertificate& root() const { return root_; }

  // Authority number `index`; the same index gives the same certificate.
  const TestCertificate& authority(int index) {
    auto found = authorities_.find(index);
    if (found == authorities_.end()) {
      const std::string subject = "/O=Bench/CN=Authority " + std::to_string(index);
      found = authorities_
                  .emplace(index, root_.issue(specWith(subject, {basicConstraints(true, true, 0)}, 1000 + index), key_))
                  .first;
    }
    return found->second;
  }

  // The collection text of authorities [first, first + count).
  std::string collection(int first, int count, const std::string& directory) {
    std::vector<const TestCertificate*> certificates;
    for (int index = first; index < first + count; ++index) certificates.push_back(&authority(index));
    return base64Text(bundleWithOpenssl(certificates, directory));
  }

 private:
  TestKey key_;
  TestCertificate root_;
  std::map<int, TestCertificate> authorities_;
};

Authorities& authorities() {
  static Authorities made;
  return made;
}

// A home that lives for one benchmark run; boxes are recorded, not shown.
struct BenchHome {
  TempHome home;
  BoxRecorder boxes;
};

void installAuthorityCollection(benchmark::State& state) {
  constexpr int kCount = 1000;
  std::unique_ptr<BenchHome> home = std::make_unique<BenchHome>();
  const std::string text = authorities().collection(0, kCount, home->home.path());
  for (auto _ : state) {
    state.PauseTiming();
    home.reset();
    home = std::make_unique<BenchHome>();
    state.ResumeTiming();
    if (tarvenholm::installCert(text.c_str()) != 2000) state.SkipWithError("installation failed");
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(installAuthorityCollection)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void installChain(benchmark::State& state) {
  const TestKey userKey = TestKey::ed25519();
  const TestCertificate& issuing = authorities().authority(0);
  const TestCertificate user =
      issuing.issue(specWith("/CN=Bench User", {basicConstraints(false, false)}, 99), userKey);
  std::unique_ptr<BenchHome> home = std::make_unique<BenchHome>();
  const std::string text =
      base64Text(bundleWithOpenssl({&authorities().root(), &issuing, &user}, home->home.path()));
  for (auto _ : state) {
    state.PauseTiming();
    home.reset();
    home = std::make_unique<BenchHome>();
    recordKey(user, kContainer, kProvider);
    state.ResumeTiming();
    if (tarvenholm::installCert(text.c_str()) != 2000) state.SkipWithError("installation failed");
  }
  state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(installChain)->Unit(benchmark::kMillisecond)->UseRealTime();

// Adds one more authority to a "CA" store that holds state.range(0); the
// certificate is taken out again between measurements so the store keeps
// its size.
void addToStoreHolding(benchmark::State& state) {
  const int held = static_cast<int>(state.range(0));
  BenchHome home;
  constexpr int kChunk = 1000;
  for (int first = 1; first <= held; first += kChunk) {
    const std::string text = authorities().collection(first, std::min(kChunk, held - first + 1), home.home.path());
    if (tarvenholm::installCert(text.c_str()) != 2000) {
      state.SkipWithError("could not fill the store");
      return;
    }
  }
  const TestCertificate& extra = authorities().authority(held + 1);
  const UniqueCertContext certificate(
      CertCreateCertificateContext(X509_ASN_ENCODING, extra.der().data(), static_cast<DWORD>(extra.der().size())));
  const Bytes thumbprint = extra.thumbprint();
  CRYPT_HASH_BLOB hash{static_cast<DWORD>(thumbprint.size()), const_cast<BYTE*>(thumbprint.data())};
  const UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA"));

  for (auto _ : state) {
    if (tarvenholm::addCACert(certificate.get(), u"CA") != 2000) state.SkipWithError("add failed");
    state.PauseTiming();
    CertDeleteCertificateFromStore(
        CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr));
    state.ResumeTiming();
  }
}
BENCHMARK(addToStoreHolding)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
