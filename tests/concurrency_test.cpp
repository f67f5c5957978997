// Several processes enrolling against one home at the same time: each makes
// requests with `tarvenholm genreq` and installs their certificates with
// `tarvenholm setcert`, interleaved with the others. Nothing may be lost,
// nothing duplicated, and no run may fail because another one is running.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/home.h"
#include "testlib/child_process.h"
#include "testlib/enrolment_audit.h"
#include "testlib/host_fixture.h"
#include "testlib/installed.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::HostRun;
using testing_support::TestAuthority;

constexpr int kWorkers = 4;
constexpr int kOperationsPerWorker = 50;  // a genreq, then a setcert of its answer, 25 times
constexpr const char* kWorkerTest = "ConcurrentWorker.EnrolsInTheParentsHome";

Bytes bytesOfHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t at = 0; at + 1 < hex.size(); at += 2) bytes.push_back(std::stoi(hex.substr(at, 2), nullptr, 16));
  return bytes;
}

// What standard error may hold after a run that succeeded: nothing, or the
// notice of the host that registered the module on the fresh home.
bool quietEnough(const std::string& err) {
  return err.empty() ||
         (err.rfind("tarvenholm: registered the control's module ", 0) == 0 && err.find('\n') == err.size() - 1);
}

// Tells the parent about a run that failed; the worker's own output is not seen.
bool succeeded(const std::string& what, const HostRun& run, const std::string& expectedOut = "") {
  const bool good = run.status == 0 && quietEnough(run.err) && (expectedOut.empty() || run.out == expectedOut);
  if (!good) {
    std::string err = run.err;
    for (char& c : err)
      if (c == '\n') c = '|';
    testing_support::reportToParent("failed " + what + ": status " + std::to_string(run.status) + ", out '" +
                                    run.out.substr(0, 40) + "', err '" + err + "'");
  }
  return good;
}

// One worker, in a process of its own (see child_process.h), in the home
// and with the authority its parent made. It reports each request it got
// and each certificate it installed, and fails on any run that fails.
TEST(ConcurrentWorker, EnrolsInTheParentsHome) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs only as a worker of ConcurrencyTest.ManyEnrolmentsAtOnceLoseNothingAndDuplicateNothing";
  const std::string home = std::getenv("TARVENHOLM_HOME");
  const std::string worker = std::getenv("TARVENHOLM_WORKER");
  const TestAuthority authority(home + "/ca");
  for (int operation = 0; operation < kOperationsPerWorker; operation += 2) {
    const std::string tag = worker + "-" + std::to_string(operation);
    const HostRun genreq = testing_support::runHost(
        {"genreq", "--names", "2.5.4.3=Worker " + tag + ";2.5.4.10=Tarvenholm", "--key-size", "512"});
    ASSERT_TRUE(succeeded("genreq " + tag, genreq));
    const std::string request = genreq.out.substr(0, genreq.out.find('\n'));
    testing_support::reportToParent("request " + request);

    const TestAuthority::Issued issued = authority.issue(request, std::stol(worker) * 1000 + operation + 1);
    const std::string file = home + "/answer-" + tag + ".p7b";
    testing_support::writeText(file, std::string(issued.collection.begin(), issued.collection.end()));
    const HostRun setcert = testing_support::runHost({"--trust-new-roots", "setcert", file});
    ASSERT_TRUE(succeeded("setcert " + tag, setcert, "2000\n"));
    testing_support::reportToParent("installed " + testing_support::hexText(issued.user));
  }
}

class ConcurrencyTest : public testing_support::HomeTest {};

TEST_F(ConcurrencyTest, ManyEnrolmentsAtOnceLoseNothingAndDuplicateNothing) {
  const TestAuthority authority(home_.path() + "/ca");
  // Registration of the module is the host's first step on a fresh home;
  // the workers race for it too.
  std::vector<std::unique_ptr<testing_support::ChildProcess>> workers;
  for (int worker = 0; worker < kWorkers; ++worker)
    workers.push_back(std::make_unique<testing_support::ChildProcess>(
        kWorkerTest, std::vector<std::pair<std::string, std::string>>{{"TARVENHOLM_WORKER", std::to_string(worker)}}));

  std::vector<std::string> requests;
  std::vector<Bytes> installed;
  for (auto& worker : workers) {
    const testing_support::ChildResult result = worker->wait();
    EXPECT_EQ(result.exitStatus, 0) << "a worker failed";
    for (const std::string& line : result.reports) {
      if (line.rfind("failed ", 0) == 0) ADD_FAILURE() << line;
      if (line.rfind("request ", 0) == 0) requests.push_back(line.substr(8));
      if (line.rfind("installed ", 0) == 0) installed.push_back(bytesOfHex(line.substr(10)));
    }
  }
  EXPECT_EQ(requests.size(), static_cast<std::size_t>(kWorkers * kOperationsPerWorker / 2));
  EXPECT_EQ(installed.size(), requests.size());

  EXPECT_EQ(testing_support::hiveIntegrity(platform::userHivePath()), "ok");
  EXPECT_EQ(testing_support::hiveIntegrity(platform::machineHivePath()), "ok");
  for (const std::string& request : requests)
    EXPECT_EQ(testing_support::problemWithKey(testing_support::requestKeyId(request)), std::nullopt);
  for (const Bytes& certificate : installed)
    EXPECT_EQ(testing_support::problemWithBinding(certificate), std::nullopt);

  // One copy of each certificate: the users' in MY, the authority's one
  // each in ROOT and CA, however many processes added them at once.
  const std::vector<Bytes> mine = testing_support::storeDers(u"MY");
  EXPECT_EQ(mine.size(), installed.size());
  EXPECT_EQ(std::set<Bytes>(mine.begin(), mine.end()), std::set<Bytes>(installed.begin(), installed.end()));
  EXPECT_EQ(testing_support::storeDers(u"ROOT"), std::vector<Bytes>{authority.rootDer()});
  EXPECT_EQ(testing_support::storeDers(u"CA"), std::vector<Bytes>{authority.intermediateDer()});
  const HostRun keys = testing_support::runHost({"keys", "list"});
  EXPECT_EQ(keys.status, 0);
  EXPECT_EQ(testing_support::linesOf(keys.out).size(), requests.size());
}

}  // namespace
