#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/keyrecords.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/rpc.h"
#include "testlib/child_process.h"
#include "testlib/shared_hive.h"
#include "testlib/test_home.h"

namespace {

using namespace tarvenholm;
using testing_support::HomeTest;

const std::string kKeyId = "0AF3A8B9C0D1E2F30415263748596A7B8C9DAEBF";
const std::string kContainer = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
const std::string kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

constexpr int kRecordsPerWriter = 40;

// A 40-digit identifier that tells the writer and the record apart.
std::string recordId(const std::string& writer, int index) {
  std::string id = writer + std::string(39 - writer.size() - 3, '0');
  const std::string number = std::to_string(1000 + index).substr(1);
  return id + "0" + number;
}

bool isContainerName(const std::string& name) {
  if (name.size() != 36) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (name[i] == '-')) return false;
    if (!dash && std::strchr("0123456789abcdef", name[i]) == nullptr) return false;
  }
  return true;
}

struct StoredValue {
  std::string name;
  DWORD type;
  std::string data;
  bool operator==(const StoredValue&) const = default;
};

// Every value of a key, as stored.
std::vector<StoredValue> valuesOf(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  UniqueHkey owned(key);
  std::vector<StoredValue> values;
  for (DWORD index = 0;; ++index) {
    char name[64];
    char data[256];
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize) !=
        ERROR_SUCCESS)
      break;
    values.push_back({name, type, std::string(data, dataSize)});
  }
  return values;
}

void setRaw(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  UniqueHkey owned(key);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

std::vector<std::string> errorBoxes(const std::vector<testing_support::Box>& boxes) {
  std::vector<std::string> texts;
  for (const testing_support::Box& box : boxes) {
    EXPECT_EQ(box.caption, "Tarvenholm");
    EXPECT_EQ(box.flags, 16u);
    texts.push_back(box.text);
  }
  return texts;
}

class KeyRecords : public HomeTest {};

TEST(ContainerName, IsTheLowerCaseTextOfAFreshRandomUuid) {
  std::set<std::string> names;
  for (int i = 0; i < 64; ++i) {
    const std::string name = newContainerName();
    EXPECT_TRUE(isContainerName(name)) << name;
    EXPECT_EQ(name[14], '4') << name;                           // version 4
    EXPECT_NE(std::strchr("89ab", name[19]), nullptr) << name;  // RFC 4122 variant
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 64u);
}

TEST_F(KeyRecords, ContainerNameIsStillFreshWhenThePlatformGivesNoUuid) {
  for (const char* call : {"UuidCreate", "UuidToStringA"}) {
    platform::faultArm(call, 0, RPC_S_OUT_OF_MEMORY);
    const std::string first = newContainerName();
    const std::string second = newContainerName();
    EXPECT_TRUE(isContainerName(first)) << call << ": " << first;
    EXPECT_NE(first, second) << call;
    EXPECT_GT(platform::faultUses(call), 0u);
    platform::faultReset();
  }
}

TEST_F(KeyRecords, FirstRecordCreatesItsParentAndHoldsExactlyTwoStrings) {
  EXPECT_FALSE(regKeyExists(HKEY_LOCAL_MACHINE, kKeyRecordsPath));
  writeKeyRecord(kKeyId, kContainer, kProvider);
  EXPECT_TRUE(boxes_.boxes().empty());
  EXPECT_TRUE(regKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm\\GK\\" + kKeyId));
  // The terminating zero is part of the stored length.
  EXPECT_EQ(valuesOf(keyRecordPath(kKeyId)),
            (std::vector<StoredValue>{{"a", REG_SZ, kContainer + '\0'}, {"b", REG_SZ, kProvider + '\0'}}));
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), kContainerValueName), kContainer);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), kProviderValueName), kProvider);

  const std::string otherId(40, 'F');
  writeKeyRecord(otherId, "other-container", kProvider);
  EXPECT_TRUE(boxes_.boxes().empty());
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(otherId), kContainerValueName), "other-container");
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), kContainerValueName), kContainer);
  EXPECT_TRUE(valuesOf(kKeyRecordsPath).empty());
}

TEST_F(KeyRecords, AnIdentifierThatNamesNoSingleKeyWritesNothing) {
  writeKeyRecord("", kContainer, kProvider);
  writeKeyRecord("AB\\CD", kContainer, kProvider);
  EXPECT_EQ(errorBoxes(boxes_.boxes()),
            (std::vector<std::string>{"Failed to create key ", "Failed to create key AB\\CD"}));
  EXPECT_FALSE(regKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm"));
}

TEST_F(KeyRecords, ReadingAMissingValueGivesEmptyTextWithoutABox) {
  setRaw(keyRecordPath(kKeyId), "a", REG_SZ, kContainer.c_str(), static_cast<DWORD>(kContainer.size() + 1));
  setRaw(keyRecordPath(kKeyId), "empty", REG_SZ, "", 0);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "b"), "");
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "empty"), "");
  // Reading from a missing key creates it.
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm\\GK\\MISSING", "a"), "");
  EXPECT_TRUE(regKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm\\GK\\MISSING"));
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(KeyRecords, ReadingTakesStringsAsStoredAndRefusesOtherTypes) {
  const std::string path = keyRecordPath(kKeyId);
  const DWORD number = 7;
  setRaw(path, "a", REG_DWORD, &number, sizeof number);
  setRaw(path, "expand", REG_EXPAND_SZ, "%HOME%\\keys", 12);
  setRaw(path, "unterminated", REG_SZ, "abc", 3);
  setRaw(path, "embedded", REG_SZ, "ab\0cd", 6);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, "a"), "");
  EXPECT_EQ(errorBoxes(boxes_.boxes()), std::vector<std::string>{"Invalid data type for 'a'"});
  boxes_.clear();
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, "expand"), "%HOME%\\keys");
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, "unterminated"), "abc");
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, "embedded"), "ab");
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(KeyRecords, RegistryFailuresReachTheUserAsEnglishBoxes) {
  platform::faultArm("RegCreateKeyExA", 0, ERROR_ACCESS_DENIED);
  writeKeyRecord(kKeyId, kContainer, kProvider);
  EXPECT_EQ(errorBoxes(boxes_.boxes()),
            (std::vector<std::string>{"Failed to create key GK", "Failed to create key " + kKeyId,
                                      "Failed to set data for 'a'", "Failed to set data for 'b'"}));
  platform::faultReset();
  boxes_.clear();

  platform::faultArm("RegSetValueExA", 2, ERROR_CANTWRITE);
  writeKeyRecord(kKeyId, kContainer, kProvider);
  EXPECT_EQ(errorBoxes(boxes_.boxes()), std::vector<std::string>{"Failed to set data for 'b'"});
  EXPECT_EQ(valuesOf(keyRecordPath(kKeyId)), (std::vector<StoredValue>{{"a", REG_SZ, kContainer + '\0'}}));
  platform::faultReset();
  boxes_.clear();

  // The second query of the pair (the read itself) fails.
  platform::faultArm("RegQueryValueExA", 2, ERROR_CANTREAD);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "a"), "");
  platform::faultReset();
  platform::faultArm("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "a"), "");
  EXPECT_EQ(errorBoxes(boxes_.boxes()),
            (std::vector<std::string>{"Failed to get data for 'a'", "Failed to get data for 'a'"}));
  platform::faultReset();
  boxes_.clear();

  // The size query failing means "no value": empty text, no box.
  platform::faultArm("RegQueryValueExA", 1, ERROR_CANTREAD);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "a"), "");
  platform::faultArm("RegOpenKeyExA", 0, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(regKeyExists(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId)));
  EXPECT_TRUE(boxes_.boxes().empty());
}

// Child of ConcurrentProcessesLoseNoRecord: writes its share of records.
TEST(KeyRecordsChild, WritesRecords) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  testing_support::BoxRecorder boxes;
  const std::string writer = std::getenv("KEYRECORDS_TEST_WRITER");
  for (int i = 0; i < kRecordsPerWriter; ++i) writeKeyRecord(recordId(writer, i), writer, kProvider);
  for (const testing_support::Box& box : boxes.boxes()) testing_support::reportToParent(box.text);
  testing_support::reportToParent("done");
}

TEST_F(KeyRecords, ConcurrentProcessesLoseNoRecord) {
  testing_support::ChildProcess first("KeyRecordsChild.WritesRecords", {{"KEYRECORDS_TEST_WRITER", "1"}});
  testing_support::ChildProcess second("KeyRecordsChild.WritesRecords", {{"KEYRECORDS_TEST_WRITER", "2"}});
  for (testing_support::ChildProcess* child : {&first, &second}) {
    const testing_support::ChildResult result = child->wait();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.reports, std::vector<std::string>{"done"});
  }
  for (const std::string writer : {"1", "2"}) {
    for (int i = 0; i < kRecordsPerWriter; ++i) {
      const std::string path = keyRecordPath(recordId(writer, i));
      EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, kContainerValueName), writer) << path;
      EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, kProviderValueName), kProvider) << path;
    }
  }
  EXPECT_TRUE(boxes_.boxes().empty());
}

// Child of AUserWhoMayNotWriteTheMachineHiveGetsFourBoxesAndNoRecord.
TEST(KeyRecordsChild, WritesAndReadsWithoutWriteRights) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  testing_support::BoxRecorder boxes;
  testing_support::reportToParent(regKeyExists(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId)) ? "exists" : "missing");
  testing_support::reportToParent("read=" + regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), "a"));
  const std::string newId(40, 'C');
  writeKeyRecord(newId, kContainer, kProvider);
  for (const testing_support::Box& box : boxes.boxes())
    testing_support::reportToParent(box.text + "|" + box.caption + "|" + std::to_string(box.flags));
}

TEST_F(KeyRecords, AUserWhoMayNotWriteTheMachineHiveGetsFourBoxesAndNoRecord) {
  if (const std::string why = testing_support::whyNobodyCannotStartThisExecutable(); !why.empty()) GTEST_SKIP() << why;
  testing_support::SharedMachineHive shared(home_.path());
  writeKeyRecord(kKeyId, kContainer, kProvider);
  ASSERT_TRUE(boxes_.boxes().empty());

  const testing_support::ChildResult result =
      shared.runReadOnlyChild("KeyRecordsChild.WritesAndReadsWithoutWriteRights");
  EXPECT_EQ(result.exitStatus, 0);
  const std::string newId(40, 'C');
  // The existing record counts as missing for this user: full access is refused.
  EXPECT_EQ(result.reports, (std::vector<std::string>{"missing", "read=", "Failed to create key GK|Tarvenholm|16",
                                                      "Failed to create key " + newId + "|Tarvenholm|16",
                                                      "Failed to set data for 'a'|Tarvenholm|16",
                                                      "Failed to set data for 'b'|Tarvenholm|16"}));
  EXPECT_FALSE(regKeyExists(HKEY_LOCAL_MACHINE, keyRecordPath(newId)));
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(kKeyId), kContainerValueName), kContainer);
}

}  // namespace
