// Registry transactions: changes within one reach other processes together
// at its commit, or never; the write lock is taken at the first change and
// held to the end, while readers go on; a whole installation costs a few
// syncs.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "install/install.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "testlib/installed.h"

namespace {

using platform::RegistryTransaction;
using testing_support::HomeTest;

constexpr const char* kTestKey = "Software\\Tarvenholm\\TransactionTest";

// Another connection to a hive file, as another process has it.
class OutsideConnection {
 public:
  explicit OutsideConnection(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << path;
  }
  ~OutsideConnection() { sqlite3_close(db_); }
  OutsideConnection(const OutsideConnection&) = delete;
  OutsideConnection& operator=(const OutsideConnection&) = delete;

  // How many keys the hive holds under the test key (itself included).
  long testKeys() {
    sqlite3_stmt* statement = nullptr;
    long count = -1;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM reg_keys WHERE folded_path LIKE 'SOFTWARE\\TARVENHOLM\\TRANSACTIONTEST%'",
                           -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      count = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return count;
  }

  // Whether this connection could begin writing now, without waiting.
  bool canWrite() {
    const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK;
  }

 private:
  sqlite3* db_ = nullptr;
};

LSTATUS createTestKey(HKEY root, const char* subKey = "") {
  HKEY key = nullptr;
  const std::string path = std::string(kTestKey) + subKey;
  const LSTATUS status =
      RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(key);
  return status;
}

using RegistryTransactionTest = HomeTest;

TEST_F(RegistryTransactionTest, ChangesToBothHivesReachOthersAtCommitAndTheLockIsHeldFromTheFirstChange) {
  // The hives exist before the transaction.
  ASSERT_EQ(createTestKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ASSERT_EQ(createTestKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  OutsideConnection user(platform::userHivePath());
  OutsideConnection machine(platform::machineHivePath());

  RegistryTransaction transaction;
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &opened), ERROR_SUCCESS);
  RegCloseKey(opened);
  EXPECT_TRUE(user.canWrite()) << "a read took the write lock";

  ASSERT_EQ(createTestKey(HKEY_CURRENT_USER, "\\A"), ERROR_SUCCESS);
  ASSERT_EQ(createTestKey(HKEY_LOCAL_MACHINE, "\\B"), ERROR_SUCCESS);
  // A failing call undoes its own changes only.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kTestKey) + "\\A").c_str(), 0, KEY_READ, &opened),
            ERROR_SUCCESS);
  RegCloseKey(opened);
  EXPECT_FALSE(user.canWrite());
  EXPECT_FALSE(machine.canWrite());
  EXPECT_EQ(user.testKeys(), 1) << "readers see the hive as it was, without waiting";
  EXPECT_EQ(machine.testKeys(), 1);

  ASSERT_EQ(transaction.commit(), ERROR_SUCCESS);
  EXPECT_EQ(user.testKeys(), 2);
  EXPECT_EQ(machine.testKeys(), 2);
  EXPECT_TRUE(user.canWrite());
  EXPECT_TRUE(machine.canWrite());
  EXPECT_EQ(transaction.commit(), ERROR_TRANSACTION_NOT_ACTIVE);
}

TEST_F(RegistryTransactionTest, WhatIsNotCommittedIsRolledBack) {
  enum class End { ObjectDies, Rollback, InnerRollback };
  for (const End end : {End::ObjectDies, End::Rollback, End::InnerRollback}) {
    SCOPED_TRACE(static_cast<int>(end));
    {
      RegistryTransaction transaction;
      ASSERT_EQ(createTestKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
      if (end == End::Rollback) transaction.rollback();
      if (end == End::InnerRollback) {
        {
          RegistryTransaction inner;
          ASSERT_EQ(createTestKey(HKEY_CURRENT_USER, "\\Inner"), ERROR_SUCCESS);
          inner.rollback();
        }
        EXPECT_EQ(transaction.commit(), ERROR_TRANSACTION_NOT_ACTIVE);
      }
    }
    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OutsideConnection(platform::userHivePath()).testKeys(), 0);
  }
}

TEST_F(RegistryTransactionTest, AnInnerTransactionCommitsWithTheOuterOne) {
  RegistryTransaction outer;
  {
    RegistryTransaction inner;
    ASSERT_EQ(createTestKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(inner.commit(), ERROR_SUCCESS);
  }
  EXPECT_EQ(OutsideConnection(platform::userHivePath()).testKeys(), 0);
  ASSERT_EQ(outer.commit(), ERROR_SUCCESS);
  EXPECT_EQ(OutsideConnection(platform::userHivePath()).testKeys(), 1);
}

// An operation looks for a hive at its path once and works on that file to
// its commit, even when another file takes the path meanwhile; the next
// operation opens what is there then. (A shared machine hive, which keeps a
// rollback journal, so the two files share no log.)
TEST_F(RegistryTransactionTest, AnOperationKeepsToTheHiveFileItBeganWith) {
  const std::string shared = home_.path() + "/shared.hive";
  const std::string moved = shared + ".moved";
  ::setenv("TARVENHOLM_MACHINE_HIVE", shared.c_str(), 1);
  ASSERT_EQ(createTestKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  {
    RegistryTransaction operation;
    ASSERT_EQ(createTestKey(HKEY_LOCAL_MACHINE, "\\Inside"), ERROR_SUCCESS);
    ASSERT_EQ(std::rename(shared.c_str(), moved.c_str()), 0);
    ASSERT_EQ(createTestKey(HKEY_LOCAL_MACHINE, "\\Inside\\Deeper"), ERROR_SUCCESS)
        << "the operation's own key, in the file it began with";
    EXPECT_EQ(operation.commit(), ERROR_SUCCESS);
  }
  EXPECT_EQ(OutsideConnection(moved).testKeys(), 3) << "the whole operation is in the file it began with";
  HKEY opened = nullptr;
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &opened), ERROR_SUCCESS)
      << "the next call looks at the path again";
  RegCloseKey(opened);
  ::unsetenv("TARVENHOLM_MACHINE_HIVE");
}

class ChainSyncsTest : public testing_support::InstallTest {};

TEST_F(ChainSyncsTest, AThreeCertificateChainIntoAHomeInUseCostsAtMostSixSyncs) {
  const testing_support::TestCertificate otherRoot = testing_support::TestCertificate::selfSigned(
      testing_support::specWith("/CN=Other Root", {testing_support::basicConstraints(true, true)}),
      testing_support::sharedKey(3));
  ASSERT_EQ(tarvenholm::installCert(collectionText({&otherRoot}).c_str()), 2000);
  testing_support::recordKey(user_, testing_support::kContainer, testing_support::kProvider);
  const std::string chain = collectionText({&root_, &issuing_, &user_});

  const unsigned long before = platform::hiveSyncCount();
  RegistryTransaction transaction;
  ASSERT_EQ(tarvenholm::installCert(chain.c_str()), 2000);
  ASSERT_EQ(transaction.commit(), ERROR_SUCCESS);
  const unsigned long syncs = platform::hiveSyncCount() - before;
  EXPECT_GE(syncs, 1u) << "a commit that never reached the disk";
  EXPECT_LE(syncs, 6u);
}

}  // namespace
