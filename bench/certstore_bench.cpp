// Adding certificates to the user's system stores: the cost of one add as
// the store grows (an index, not a scan, should find the existing copy), and
// the cost per certificate of adding a whole collection, each add durable on
// its own or all of them in one registry transaction as installation runs.
//
// Every add that is durable on its own waits for one disk sync, whose
// latency on this shared machine swings by a factor of ten from one minute
// to the next: the benchmarks compared with each other repeat, interleaved,
// and their medians are compared.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "interleaved_main.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "platform/wincrypt.h"
#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::TestCertificate;
using testing_support::TestKey;

// Distinct certificates (by serial number) under one quick Ed25519 root.
const std::vector<TestCertificate>& certificates(std::size_t count) {
  static const TestKey key = TestKey::ed25519();
  static const TestCertificate root = TestCertificate::selfSigned({"/CN=Bench Root", false, {}, 1, 30}, key);
  static std::vector<TestCertificate> made;
  while (made.size() < count)
    made.push_back(root.issue({"/O=Bench/CN=Bench Authority", false, {testing_support::basicConstraints(true, true)},
                               static_cast<long>(1000 + made.size()), 30},
                              key));
  return made;
}

UniqueCertContext contextOf(const TestCertificate& certificate) {
  return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.der().data(),
                                                        static_cast<DWORD>(certificate.der().size())));
}

// What installation does for one authority certificate: open the store, add
// keeping an existing copy, close.
bool addToStore(PCCERT_CONTEXT context, const char16_t* storeName) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, storeName);
  if (store == nullptr) return false;
  const BOOL added = CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_USE_EXISTING, nullptr);
  CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
  return added;
}

constexpr std::size_t kRounds = 200;
constexpr int kRepetitions = 5;

// Makes the home whose "CA" store holds the first `count` certificates the
// current one; each is filled once and kept for the whole run.
void useFilledHome(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<testing_support::TempHome>> homes;
  std::unique_ptr<testing_support::TempHome>& home = homes[count];
  const bool fresh = !home;
  if (fresh) home = std::make_unique<testing_support::TempHome>();
  platform::setHomeOverride(home->path());
  if (!fresh) return;
  const std::vector<TestCertificate>& made = certificates(count);
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA"));
  for (std::size_t i = 0; i < count; ++i)
    CertAddCertificateContextToStore(store.get(), contextOf(made[i]).get(), CERT_STORE_ADD_USE_EXISTING, nullptr);
}

// One new certificate added to a store that already holds range(0).
void BM_AddOneCertificate(benchmark::State& state) {
  const std::size_t already = static_cast<std::size_t>(state.range(0));
  const std::vector<TestCertificate>& made = certificates(already + kRounds * kRepetitions);
  useFilledHome(already);
  // Each repetition adds certificates the store does not hold yet.
  static std::map<std::size_t, std::size_t> nextOf;
  std::size_t& next = nextOf.try_emplace(already, already).first->second;
  for (auto _ : state) {
    state.PauseTiming();
    if (next == made.size()) state.SkipWithError("ran out of prepared certificates");
    UniqueCertContext context = contextOf(made[next++]);
    state.ResumeTiming();
    if (!addToStore(context.get(), u"CA")) state.SkipWithError("add failed");
  }
}
BENCHMARK(BM_AddOneCertificate)
    ->Arg(100)
    ->Arg(10000)
    ->Iterations(kRounds)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);

// Listing a whole store, as `store list` does.
void BM_EnumerateStore(benchmark::State& state) {
  useFilledHome(static_cast<std::size_t>(state.range(0)));
  std::size_t seen = 0;
  for (auto _ : state) {
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"CA"));
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr) ++seen;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(seen));
}
BENCHMARK(BM_EnumerateStore)->Arg(100)->Arg(10000)->Iterations(3)->Repetitions(3)->Unit(benchmark::kMillisecond);

// A 1,000-certificate PKCS#7 collection opened, walked and placed in a fresh
// store: range(0) 0, each add durable on its own (a caller without a
// transaction); 1, in one registry transaction committed at the end.
void BM_AddCollection(benchmark::State& state) {
  const std::vector<TestCertificate>& made = certificates(1000);
  std::vector<const TestCertificate*> members;
  for (const TestCertificate& certificate : made) members.push_back(&certificate);
  Bytes message;
  {
    testing_support::TempHome scratch;
    message = testing_support::bundleWithOpenssl(members, scratch.path());
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto home = std::make_unique<testing_support::TempHome>();
    platform::setHomeOverride(home->path());
    state.ResumeTiming();
    std::optional<platform::RegistryTransaction> operation;
    if (state.range(0) == 1) operation.emplace();
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(message.size()), message.data()};
    HCERTSTORE collection = CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob);
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(collection, context)) != nullptr)
      if (!addToStore(context, u"CA")) state.SkipWithError("add failed");
    CertCloseStore(collection, 0);
    if (operation && operation->commit() != ERROR_SUCCESS) state.SkipWithError("commit failed");
    operation.reset();
    state.PauseTiming();
    platform::setHomeOverride("");
    home.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * made.size()));
}
BENCHMARK(BM_AddCollection)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runInterleaved(argc, argv); }
