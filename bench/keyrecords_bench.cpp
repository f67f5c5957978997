// How finding a key record scales with the number of records in the
// machine hive: the existence test and the two reads that certificate
// installation makes for one record.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/keyrecords.h"
#include "platform/hive.h"
#include "platform/home.h"
#include "platform/lasterror.h"

namespace {

using platform::hive::Hive;

std::string randomKeyId(std::mt19937_64& random) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string id(40, '0');
  for (char& c : id) c = digits[random() % 16];
  return id;
}

// A home whose machine hive holds `count` key records, written in one
// transaction through the hive's own operations.
class PopulatedHome {
 public:
  explicit PopulatedHome(int count) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvenholm-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    ::setenv("TARVENHOLM_HOME", path_.c_str(), 1);
    std::mt19937_64 random(static_cast<std::uint64_t>(count));
    for (int i = 0; i < count; ++i) ids_.push_back(randomKeyId(random));
    LSTATUS status = ERROR_SUCCESS;
    std::shared_ptr<Hive> hive = Hive::open(platform::machineHivePath(), Hive::Kind::Machine, status);
    if (hive == nullptr) throw std::runtime_error("cannot open the machine hive");
    const std::string container = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
    const std::string provider = "Microsoft Enhanced Cryptographic Provider v1.0";
    status = hive->transact(Hive::Access::Write, [&]() -> LSTATUS {
      bool created = false;
      const platform::hive::KeyRow records =
          hive->createPath(platform::hive::KeyRow{hive->rootId(), ""}, {"SOFTWARE", "Tarvenholm", "GK"}, created);
      for (const std::string& id : ids_) {
        const platform::hive::KeyRow record = hive->createPath(records, {id}, created);
        hive->setValue(record, "a", REG_SZ, reinterpret_cast<const BYTE*>(container.c_str()), container.size() + 1);
        hive->setValue(record, "b", REG_SZ, reinterpret_cast<const BYTE*>(provider.c_str()), provider.size() + 1);
      }
      return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) throw std::runtime_error("cannot populate the machine hive");
  }
  ~PopulatedHome() { std::filesystem::remove_all(path_); }

  const std::vector<std::string>& ids() const { return ids_; }
  void makeCurrent() const { ::setenv("TARVENHOLM_HOME", path_.c_str(), 1); }

 private:
  std::string path_;
  std::vector<std::string> ids_;
};

const PopulatedHome& homeWith(int count) {
  static std::map<int, std::unique_ptr<PopulatedHome>> homes;
  std::unique_ptr<PopulatedHome>& home = homes[count];
  if (!home) home = std::make_unique<PopulatedHome>(count);
  return *home;
}

void findRecord(benchmark::State& state) {
  const PopulatedHome& home = homeWith(static_cast<int>(state.range(0)));
  home.makeCurrent();
  std::mt19937_64 random(42);
  for (auto _ : state) {
    const std::string path = tarvenholm::keyRecordPath(home.ids()[random() % home.ids().size()]);
    bool found = tarvenholm::regKeyExists(HKEY_LOCAL_MACHINE, path);
    std::string container = tarvenholm::regReadString(HKEY_LOCAL_MACHINE, path, tarvenholm::kContainerValueName);
    std::string provider = tarvenholm::regReadString(HKEY_LOCAL_MACHINE, path, tarvenholm::kProviderValueName);
    if (!found || container.empty() || provider.empty()) state.SkipWithError("record not found");
    benchmark::DoNotOptimize(container);
    benchmark::DoNotOptimize(provider);
  }
}

BENCHMARK(findRecord)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
