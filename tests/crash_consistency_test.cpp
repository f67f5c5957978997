// `tarvenholm genreq` and `tarvenholm setcert` (of new certificates and
// again of installed ones) killed with SIGKILL at random moments, over and
// over, against one home: every run is wholly there or wholly absent
// afterwards, whatever a run printed before it died is whole, and the home
// goes on working.
//
//   TARVENHOLM_CRASH_SEED   the random seed (printed; a fixed one by default)
//   TARVENHOLM_CRASH_KILLS  how many runs to kill (default 100; more for a
//                           long run)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/home.h"
#include "testlib/enrolment_audit.h"
#include "testlib/host_fixture.h"
#include "testlib/installed.h"
#include "testlib/key_inspection.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::HostRun;
using testing_support::SpawnedHost;
using testing_support::TestAuthority;

constexpr unsigned kDefaultSeed = 20261209;
constexpr long kDefaultKills = 100;
constexpr long kCalibrationRuns = 3;
constexpr long kRunsPerUninterrupted = 4;

long numberFromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return *end == '\0' && value > 0 ? value : fallback;
}

// A setcert again of a certificate already installed and bound replaces it
// and binds it again: it must stay bound, whenever the run dies.
enum class Kind { Genreq, Setcert, Reinstall };

// How long uninterrupted runs of each kind take in this build under the
// machine's present load: the longest of the last few, so that kill points
// drawn up to it cover a whole run from its start to its end.
class RunDurations {
 public:
  bool known(Kind kind) const { return !recent_[index(kind)].empty(); }
  std::chrono::microseconds longest(Kind kind) const {
    const auto& recent = recent_[index(kind)];
    return *std::max_element(recent.begin(), recent.end());
  }
  void completed(Kind kind, std::chrono::microseconds took) {
    auto& recent = recent_[index(kind)];
    recent.push_back(took);
    if (recent.size() > kRemembered) recent.erase(recent.begin());
  }

 private:
  static constexpr std::size_t kRemembered = 5;
  static int index(Kind kind) { return kind == Kind::Genreq ? 0 : 1; }
  std::vector<std::chrono::microseconds> recent_[2];
};

// A request printed by some run, and whether a setcert has yet reported its
// certificate installed.
struct PrintedRequest {
  std::string text;
  bool installed = false;
};

// A certificate a setcert reported installed, and the collection it came in.
struct InstalledCertificate {
  Bytes der;
  std::string collectionFile;
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
  std::vector<InstalledCertificate> installed;
  RunDurations durations;
  long completed[2] = {0, 0};
  long kills = 0;
  long serial = 1;
  const long runLimit = wantedKills * 5;
  for (long run = 0; kills < wantedKills && run < runLimit; ++run) {
    std::vector<std::size_t> waiting;
    for (std::size_t index = 0; index < requests.size(); ++index)
      if (!requests[index].installed) waiting.push_back(index);
    // Some runs are left to finish: the first few of each kind measure how
    // long a run takes before any is killed, and every few runs after that
    // one keeps the measure current and the enrolments growing.
    std::optional<Kind> uninterrupted;
    if (completed[0] < kCalibrationRuns)
      uninterrupted = Kind::Genreq;
    else if (completed[1] < kCalibrationRuns && !waiting.empty())
      uninterrupted = Kind::Setcert;
    else if (run % kRunsPerUninterrupted == 0)
      uninterrupted = completed[1] < completed[0] && !waiting.empty() ? Kind::Setcert : Kind::Genreq;
    Kind kind = Kind::Genreq;
    if (uninterrupted) {
      kind = *uninterrupted;
    } else if (const unsigned draw = random() % 3; draw == 1 && !waiting.empty()) {
      kind = Kind::Setcert;
    } else if (draw == 2 && !installed.empty()) {
      kind = Kind::Reinstall;
    }

    std::vector<std::string> args;
    std::optional<std::size_t> certifying;
    Bytes user;
    std::string collectionFile;
    if (kind == Kind::Genreq) {
      args = {"--quiet", "genreq", "--names", "2.5.4.3=Crash " + std::to_string(run) + ";2.5.4.10=Tarvenholm",
              "--key-size", "512"};
    } else if (kind == Kind::Reinstall) {
      args = {"--quiet", "--trust-new-roots", "setcert", installed[random() % installed.size()].collectionFile};
    } else {
      certifying = waiting[random() % waiting.size()];
      const TestAuthority::Issued issued = authority.issue(requests[*certifying].text, serial++);
      user = issued.user;
      const std::string file = path("answer-" + std::to_string(run) + ".p7b");
      testing_support::writeText(file, std::string(issued.collection.begin(), issued.collection.end()));
      args = {"--quiet", "--trust-new-roots", "setcert", file};
      collectionFile = file;
    }

    const auto started = std::chrono::steady_clock::now();
    SpawnedHost host(args);
    bool killed = false;
    HostRun result;
    if (uninterrupted) {
      result = host.wait();
    } else {
      const std::chrono::microseconds delay(
          std::uniform_int_distribution<long>(0, durations.longest(kind).count())(random));
      result = host.killAfter(delay, killed);
    }
    if (killed) {
      ++kills;
    } else {
      ASSERT_EQ(result.status, 0) << "an uninterrupted run failed: " << result.err;
      durations.completed(kind, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - started));
      ++completed[kind == Kind::Genreq ? 0 : 1];
    }

    // What the run got out before it died counts only when whole.
    if (kind == Kind::Genreq && !result.out.empty() && result.out.back() == '\n') {
      requests.push_back({result.out.substr(0, result.out.size() - 1)});
    } else if (kind == Kind::Setcert && result.out == "2000\n") {
      requests[*certifying].installed = true;
      installed.push_back({user, collectionFile});
    }
  }
  ASSERT_GE(kills, wantedKills) << "the runs ended before they could be killed";
  std::cout << "crash test: " << kills << " kills; " << requests.size() << " requests printed, " << installed.size()
            << " certificates installed" << std::endl;
  const auto enough = static_cast<std::size_t>(std::max(kCalibrationRuns, wantedKills / 10));
  EXPECT_GE(requests.size(), enough) << "too few requests came out to check";
  EXPECT_GE(installed.size(), enough) << "too few certificates were installed to check";

  EXPECT_EQ(testing_support::hiveIntegrity(platform::userHivePath()), "ok");
  EXPECT_EQ(testing_support::hiveIntegrity(platform::machineHivePath()), "ok");
  for (const PrintedRequest& request : requests)
    EXPECT_EQ(testing_support::problemWithKey(testing_support::requestKeyId(request.text)), std::nullopt);
  for (const InstalledCertificate& certificate : installed)
    EXPECT_EQ(testing_support::problemWithBinding(certificate.der), std::nullopt);
  // Every run wholly there or wholly absent, printed or not: no container
  // without its key pair, no record of a key that is not there, no
  // certificate in MY without its binding, no chain in part.
  for (const std::string& container : testing_support::rsaKeyContainers())
    EXPECT_EQ(testing_support::containerState(container), testing_support::ContainerState::WithKeyPair) << container;
  for (const std::string& keyId : testing_support::keyRecordIds())
    EXPECT_EQ(testing_support::problemWithKey(keyId), std::nullopt);
  const std::vector<testing_support::StoredCertificate> personal = testing_support::storeContents(u"MY");
  for (const testing_support::StoredCertificate& certificate : personal)
    EXPECT_EQ(testing_support::problemWithBinding(certificate.der), std::nullopt);
  if (!personal.empty()) {
    EXPECT_EQ(testing_support::storeDers(u"ROOT"), std::vector<Bytes>{authority.rootDer()});
    EXPECT_EQ(testing_support::storeDers(u"CA"), std::vector<Bytes>{authority.intermediateDer()});
  }

  // The home goes on working: a whole enrolment, and every listing.
  const HostRun genreq = testing_support::runHost({"genreq", "--names", "2.5.4.3=After", "--key-size", "512"});
  ASSERT_EQ(genreq.status, 0) << genreq.err;
  const TestAuthority::Issued issued = authority.issue(genreq.out.substr(0, genreq.out.find('\n')), serial++);
  testing_support::writeText(path("after.p7b"), std::string(issued.collection.begin(), issued.collection.end()));
  const HostRun setcert = testing_support::runHost({"--trust-new-roots", "setcert", path("after.p7b")});
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
