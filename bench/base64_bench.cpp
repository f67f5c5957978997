// Throughput of the base64 codec against OpenSSL's block functions on the
// same 1 MiB of random data, with the ratios ours / OpenSSL at the end.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/base64.h"

namespace {

constexpr std::uint32_t kInputBytes = 1u << 20;

const std::vector<std::uint8_t>& randomData() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> bytes(kInputBytes);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) std::abort();
    return bytes;
  }();
  return data;
}

// One line of base64, as the request is written and as both decoders accept.
const std::string& encodedText() {
  static const std::string text = [] {
    std::uint32_t length = 0;
    if (!tarvenholm::base64EncodedLength(kInputBytes, tarvenholm::kBase64NoBreaks, 0, &length)) std::abort();
    std::string encoded(length, '\0');
    if (!tarvenholm::base64Encode(randomData().data(), kInputBytes, encoded.data(), tarvenholm::kBase64NoBreaks, 0))
      std::abort();
    return encoded;
  }();
  return text;
}

void base64Encode(benchmark::State& state) {
  const auto& data = randomData();
  std::string text(encodedText().size(), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarvenholm::base64Encode(data.data(), kInputBytes, text.data(), tarvenholm::kBase64NoBreaks, 0));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kInputBytes);
}

void EVP_EncodeBlock(benchmark::State& state) {
  const auto& data = randomData();
  std::vector<unsigned char> text(encodedText().size() + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(::EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(kInputBytes)));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kInputBytes);
}

void base64Decode(benchmark::State& state) {
  const std::string& text = encodedText();
  std::uint32_t count = 0;
  if (!tarvenholm::base64DecodedLength(text.data(), static_cast<std::uint32_t>(text.size()), &count)) std::abort();
  std::vector<std::uint8_t> out(count);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarvenholm::base64Decode(text.data(), static_cast<std::uint32_t>(text.size()), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kInputBytes);
}

// The check that sizes the caller's buffer; base64Decode makes it too.
void base64DecodedLength(benchmark::State& state) {
  const std::string& text = encodedText();
  std::uint32_t count = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarvenholm::base64DecodedLength(text.data(), static_cast<std::uint32_t>(text.size()), &count));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kInputBytes);
}

void EVP_DecodeBlock(benchmark::State& state) {
  const std::string& text = encodedText();
  std::vector<unsigned char> out(text.size() / 4 * 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(::EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                               static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kInputBytes);
}

BENCHMARK(base64Encode);
BENCHMARK(EVP_EncodeBlock);
BENCHMARK(base64Decode);
BENCHMARK(base64DecodedLength);
BENCHMARK(EVP_DecodeBlock);

// Shows every run as usual and keeps the throughput of each benchmark for
// the ratios (the median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end()) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        auto& entry = throughput_[run.run_name.function_name];
        if (median || !entry.fromMedian) entry = {rate->second.value, median};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatio(const std::string& ours, const std::string& theirs) const {
    const auto a = throughput_.find(ours), b = throughput_.find(theirs);
    if (a == throughput_.end() || b == throughput_.end() || b->second.bytesPerSecond <= 0) return;
    std::printf("ratio %s/%s: %.2fx\n", ours.c_str(), theirs.c_str(), a->second.bytesPerSecond / b->second.bytesPerSecond);
  }

 private:
  struct Throughput {
    double bytesPerSecond = 0;
    bool fromMedian = false;
  };
  std::map<std::string, Throughput> throughput_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::fflush(stdout);
  reporter.printRatio("base64Encode", "EVP_EncodeBlock");
  reporter.printRatio("base64Decode", "EVP_DecodeBlock");
  benchmark::Shutdown();
  return 0;
}
