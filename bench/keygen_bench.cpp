// Key-pair generation through the provider (a new key container, then
// CryptGenKey) against bare OpenSSL generation of the same RSA key, for 1024
// and 2048 bits. Prime search makes single generations vary a lot, so each
// repetition times one generation, the repetitions of the two kinds are
// interleaved, and the comparison is between medians. After the run the
// median ratio provider / OpenSSL is printed per key size, in wall-clock
// time (what a user waits for, the provider's synchronous writes to the
// user hive included) and in CPU time.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/wincrypt.h"
#include "testlib/test_home.h"

namespace {

constexpr const char* kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";
// Medians of this many single generations are stable to a few percent.
constexpr int kRepetitions1024 = 301;
constexpr int kRepetitions2048 = 151;

void providerKeyPair(benchmark::State& state) {
  const DWORD bits = static_cast<DWORD>(state.range(0));
  static int containers = 0;
  for (auto _ : state) {
    const std::string container = "bench-" + std::to_string(++containers);
    UniqueCryptProv prov;
    UniqueCryptKey key;
    if (!CryptAcquireContextA(prov.put(), container.c_str(), kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !CryptGenKey(prov.get(), AT_KEYEXCHANGE, (bits << 16) | CRYPT_EXPORTABLE, key.put())) {
      state.SkipWithError("the provider failed");
      break;
    }
  }
}

void opensslKeyPair(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  for (auto _ : state) {
    if (!platform::UniquePkey(EVP_RSA_gen(static_cast<unsigned>(bits)))) {
      state.SkipWithError("OpenSSL failed");
      break;
    }
  }
}

void keySizes(benchmark::internal::Benchmark* benchmark, int bits, int repetitions) {
  benchmark->Arg(bits)->Iterations(1)->Repetitions(repetitions)->ReportAggregatesOnly(true)->Unit(
      benchmark::kMillisecond);
}

BENCHMARK(providerKeyPair)->Apply([](auto* b) { keySizes(b, 1024, kRepetitions1024); });
BENCHMARK(providerKeyPair)->Apply([](auto* b) { keySizes(b, 2048, kRepetitions2048); });
BENCHMARK(opensslKeyPair)->Apply([](auto* b) { keySizes(b, 1024, kRepetitions1024); });
BENCHMARK(opensslKeyPair)->Apply([](auto* b) { keySizes(b, 2048, kRepetitions2048); });

// Prints what the console reporter prints and keeps the medians.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians_[run.run_name.args][run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                                    run.GetAdjustedCPUTime()};
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatios() const {
    for (const auto& [bits, byName] : medians_) {
      const auto provider = byName.find("providerKeyPair");
      const auto openssl = byName.find("opensslKeyPair");
      if (provider == byName.end() || openssl == byName.end()) continue;
      const Times& ours = provider->second;
      const Times& bare = openssl->second;
      std::printf("median ratio provider/OpenSSL, %s bits: %.3f wall (%.2f ms / %.2f ms), %.3f CPU (%.2f ms / %.2f ms)\n",
                  bits.c_str(), ours.wall / bare.wall, ours.wall, bare.wall, ours.cpu / bare.cpu, ours.cpu, bare.cpu);
    }
  }

 private:
  struct Times {
    double wall;
    double cpu;
  };
  std::map<std::string, std::map<std::string, Times>> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the two kinds alternate, so drift of the machine hits both alike.
  std::vector<char*> arguments(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave.data());
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  testing_support::TempHome home;  // the run's key containers, removed at the end
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
