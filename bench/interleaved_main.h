// The main of a benchmark executable whose benchmarks are compared with each
// other: their repetitions are interleaved so that both sides of a ratio see
// the same machine (this one is shared and its disk's latency swings), and
// only the aggregates are reported, unless the command line says otherwise.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

inline int runInterleaved(int argc, char** argv) {
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
