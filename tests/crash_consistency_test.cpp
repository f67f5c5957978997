// `tarvenholm genreq` and `tarvenholm setcert` killed with SIGKILL at random
// moments, over and over, against one home: whatever a run printed before
// it died must be whole afterwards, and the home must go on working.
//
//   TARVENHOLM_CRASH_SEED   the random seed (printed; a fixed one by default)
//   TARVENHOLM_CRASH_KILLS  how many runs to kill (default 100; more for a
//                           long run)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/home.h"
#include "support/enrolment_audit.h"
#include "support/host_fixture.h"
#include "support/installed.h"
#include "support/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::HostRun;
using testing_support::SpawnedHost;
using testing_support::TestAuthority;

constexpr unsigned kDefaultSeed = 20261209;
constexpr long kDefaultKills = 100;

long numberFromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return *end == '\0' && value > 0 ? value : fallback;
}

enum class Kind { Genreq, Setcert };

// How long an uninterrupted run of each kind takes, so that kills land
// anywhere from the start of a run to its end.
class RunDurations {
 public:
  std::chrono::microseconds typical(Kind kind) const { return typical_[index(kind)]; }
  void completed(Kind kind, std::chrono::microseconds took) {
    auto& estimate = typical_[index(kind)];
    estimate = (estimate * 3 + took) / 4;
  }

 private:
  static int index(Kind kind) { return kind == Kind::Genreq ? 0 : 1; }
  std::chrono::microseconds typical_[2] = {std::chrono::milliseconds(150), std::chrono::milliseconds(100)};
};

// A request printed by some run, and whether a setcert has yet reported its
// certificate installed.
struct PrintedRequest {
  std::string text;
  bool installed = false;
};

class CrashConsistencyTest : public testing_support::HomeTest {
 protected:
  std::string path(const std::string& name) const { return home_.path() + "/" + name; }
};

TEST_F(CrashConsistencyTest, KilledRunsLeaveEveryPrintedRequestAndInstalledCertificateWhole) {
  const auto seed = static_cast<unsigned>(numberFromEnvironment("TARVENHOLM_CRASH_SEED", kDefaultSeed));
  const long wantedKills = numberFromEnvironment("TARVENHOLM_CRASH_KILLS", kDefaultKills);
  std::cout << "crash test: seed " << seed << " (TARVENHOLM_CRASH_SEED), " << wantedKills
            << " kills (TARVENHOLM_CRASH_KILLS)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);

  const TestAuthority authority(path("ca"));
  std::vector<PrintedRequest> requests;
  std::vector<Bytes> installed;
  RunDurations durations;
  long kills = 0;
  long serial = 1;
  const long runLimit = wantedKills * 5;
  for (long run = 0; kills < wantedKills && run < runLimit; ++run) {
    std::vector<std::size_t> waiting;
    for (std::size_t index = 0; index < requests.size(); ++index)
      if (!requests[index].installed) waiting.push_back(index);
    const Kind kind = !waiting.empty() && random() % 2 == 0 ? Kind::Setcert : Kind::Genreq;

    std::vector<std::string> args;
    std::optional<std::size_t> certifying;
    Bytes user;
    if (kind == Kind::Genreq) {
      args = {"--quiet", "genreq", "--names", "2.5.4.3=Crash " + std::to_string(run) + ";2.5.4.10=Tarvenholm",
              "--key-size", "512"};
    } else {
      certifying = waiting[random() % waiting.size()];
      const TestAuthority::Issued issued = authority.issue(requests[*certifying].text, serial++);
      user = issued.user;
      const std::string file = path("answer-" + std::to_string(run) + ".p7b");
      testing_support::writeText(file, std::string(issued.collection.begin(), issued.collection.end()));
      args = {"--quiet", "setcert", file};
    }

    const auto limit = durations.typical(kind).count() * 5 / 4;
    const std::chrono::microseconds delay(std::uniform_int_distribution<long>(0, limit)(random));
    const auto started = std::chrono::steady_clock::now();
    SpawnedHost host(args);
    bool killed = false;
    const HostRun result = host.killAfter(delay, killed);
    if (killed) {
      ++kills;
    } else {
      ASSERT_EQ(result.status, 0) << "an uninterrupted run failed: " << result.err;
      durations.completed(kind, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - started));
    }

    // What the run got out before it died counts only when whole.
    if (kind == Kind::Genreq && !result.out.empty() && result.out.back() == '\n') {
      requests.push_back({result.out.substr(0, result.out.size() - 1)});
    } else if (kind == Kind::Setcert && result.out == "2000\n") {
      requests[*certifying].installed = true;
      installed.push_back(user);
    }
  }
  ASSERT_GE(kills, wantedKills) << "the runs ended before they could be killed";
  std::cout << "crash test: " << kills << " kills; " << requests.size() << " requests printed, " << installed.size()
            << " certificates installed" << std::endl;

  EXPECT_EQ(testing_support::hiveIntegrity(platform::userHivePath()), "ok");
  EXPECT_EQ(testing_support::hiveIntegrity(platform::machineHivePath()), "ok");
  for (const PrintedRequest& request : requests)
    EXPECT_EQ(testing_support::problemWithKey(testing_support::requestKeyId(request.text)), std::nullopt);
  for (const Bytes& certificate : installed)
    EXPECT_EQ(testing_support::problemWithBinding(certificate), std::nullopt);
  if (!installed.empty()) {
    EXPECT_EQ(testing_support::storeDers(u"ROOT"), std::vector<Bytes>{authority.rootDer()});
    EXPECT_EQ(testing_support::storeDers(u"CA"), std::vector<Bytes>{authority.intermediateDer()});
  }

  // The home goes on working: a whole enrolment, and every listing.
  const HostRun genreq = testing_support::runHost({"genreq", "--names", "2.5.4.3=After", "--key-size", "512"});
  ASSERT_EQ(genreq.status, 0) << genreq.err;
  const TestAuthority::Issued issued = authority.issue(genreq.out.substr(0, genreq.out.find('\n')), serial++);
  testing_support::writeText(path("after.p7b"), std::string(issued.collection.begin(), issued.collection.end()));
  const HostRun setcert = testing_support::runHost({"setcert", path("after.p7b")});
  EXPECT_EQ(setcert.status, 0) << setcert.err;
  EXPECT_EQ(setcert.out, "2000\n");
  EXPECT_EQ(testing_support::problemWithBinding(issued.user), std::nullopt);
  for (const std::vector<std::string>& listing :
       {std::vector<std::string>{"store", "list", "MY"}, {"store", "list", "CA"}, {"keys", "list"}}) {
    const HostRun run = testing_support::runHost(listing);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
