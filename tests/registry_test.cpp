#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "testlib/child_process.h"
#include "testlib/shared_hive.h"
#include "testlib/test_home.h"

namespace {

using testing_support::HomeTest;

constexpr LSTATUS kSuccess = ERROR_SUCCESS;

UniqueHkey createKey(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  const LSTATUS status =
      RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, disposition);
  EXPECT_EQ(status, kSuccess) << path;
  return UniqueHkey(key);
}

LSTATUS openKey(HKEY root, const char* path, REGSAM access, UniqueHkey& key) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(root, path, 0, access, &opened);
  key.reset(opened);
  return status;
}

LSTATUS setString(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// The value's bytes read back as text (its terminating zero dropped), or
// "<error N>".
std::string queryString(HKEY key, const char* name) {
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
  if (status != kSuccess) return "<error " + std::to_string(status) + ">";
  std::string text(size, '\0');
  status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size);
  if (status != kSuccess) return "<error " + std::to_string(status) + ">";
  text.resize(size);
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::vector<std::string> subKeyNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD size = sizeof name;
    const LSTATUS status = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(status, kSuccess);
    if (status != kSuccess) break;
    EXPECT_EQ(size, std::strlen(name));
    names.emplace_back(name);
  }
  return names;
}

class Registry : public HomeTest {};

TEST_F(Registry, CreatesMissingKeysOnTheWayAndReportsTheDisposition) {
  DWORD disposition = 0;
  UniqueHkey deep = createKey(HKEY_CURRENT_USER, "Software\\Tarvenholm\\Stores\\MY", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(setString(deep.get(), "Title", "personal"), kSuccess);

  UniqueHkey again = createKey(HKEY_CURRENT_USER, "Software\\Tarvenholm\\Stores\\MY", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(queryString(again.get(), "Title"), "personal");

  UniqueHkey middle;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Tarvenholm\\", KEY_READ, middle), kSuccess);
  EXPECT_EQ(subKeyNames(middle.get()), std::vector<std::string>{"Stores"});
  disposition = 0;
  UniqueHkey relative = createKey(middle.get(), "stores\\my", KEY_READ, &disposition);
  EXPECT_EQ(queryString(relative.get(), "title"), "personal");
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  UniqueHkey missing;
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Elsewhere", KEY_READ, missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "\\Software", KEY_READ, missing), ERROR_BAD_PATHNAME);
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\\\Tarvenholm", KEY_READ, missing), ERROR_BAD_PATHNAME);
}

TEST_F(Registry, HivesAreSeparateAndClassesRootIsPartOfTheMachineHive) {
  UniqueHkey user = createKey(HKEY_CURRENT_USER, "SOFTWARE\\Only");
  UniqueHkey probe;
  EXPECT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Only", KEY_READ, probe), ERROR_FILE_NOT_FOUND);

  UniqueHkey progId = createKey(HKEY_CLASSES_ROOT, "Tarvenholm.keyGenerator\\CLSID");
  ASSERT_EQ(setString(progId.get(), nullptr, "{0A}"), kSuccess);
  ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Tarvenholm.keyGenerator\\CLSID", KEY_READ, probe),
            kSuccess);
  EXPECT_EQ(queryString(probe.get(), ""), "{0A}");

  struct stat info {};
  ASSERT_EQ(::stat(platform::machineHivePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(platform::userHivePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\MixedCase");
  ASSERT_EQ(setString(key.get(), "Value", "first"), kSuccess);
  ASSERT_EQ(setString(key.get(), "VALUE", "second"), kSuccess);
  EXPECT_EQ(queryString(key.get(), "value"), "second");

  char name[32];
  DWORD nameSize = sizeof name;
  ASSERT_EQ(RegEnumValueA(key.get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), kSuccess);
  EXPECT_STREQ(name, "Value");
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  DWORD disposition = 0;
  UniqueHkey same = createKey(HKEY_CURRENT_USER, "SOFTWARE\\MIXEDCASE", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  UniqueHkey software;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "software", KEY_READ, software), kSuccess);
  EXPECT_EQ(subKeyNames(software.get()), std::vector<std::string>{"MixedCase"});
}

TEST_F(Registry, DefaultValueIsTheEmptyOrMissingName) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Default");
  EXPECT_EQ(queryString(key.get(), nullptr), "<error 2>");
  ASSERT_EQ(setString(key.get(), "", "default text"), kSuccess);
  EXPECT_EQ(queryString(key.get(), nullptr), "default text");
  ASSERT_EQ(RegDeleteValueA(key.get(), nullptr), kSuccess);
  EXPECT_EQ(queryString(key.get(), ""), "<error 2>");
  EXPECT_EQ(RegDeleteValueA(key.get(), ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, QueryTellsTypeAndSizeAndRefusesASmallBuffer) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Sizes");
  ASSERT_EQ(setString(key.get(), "text", "twelve chars"), kSuccess);

  DWORD type = REG_NONE;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(key.get(), "text", nullptr, &type, nullptr, &size), kSuccess);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 13u);

  char small[5] = "xxxx";
  size = sizeof small;
  type = REG_NONE;
  EXPECT_EQ(RegQueryValueExA(key.get(), "text", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  char exact[13];
  size = sizeof exact;
  ASSERT_EQ(RegQueryValueExA(key.get(), "text", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size), kSuccess);
  EXPECT_STREQ(exact, "twelve chars");

  EXPECT_EQ(RegQueryValueExA(key.get(), "text", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key.get(), "absent", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, StoresEveryTypeAsTheBytesGiven) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Types");
  const DWORD number = 0x01020304;
  const BYTE binary[] = {0x00, 0xFF, 0x00, 0x7F};
  const char unterminated[] = {'a', 'b'};
  ASSERT_EQ(RegSetValueExA(key.get(), "dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), kSuccess);
  ASSERT_EQ(RegSetValueExA(key.get(), "binary", 0, REG_BINARY, binary, sizeof binary), kSuccess);
  ASSERT_EQ(RegSetValueExA(key.get(), "empty", 0, REG_BINARY, nullptr, 0), kSuccess);
  ASSERT_EQ(RegSetValueExA(key.get(), "raw", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(unterminated), 2),
            kSuccess);
  EXPECT_EQ(RegSetValueExA(key.get(), "bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);

  DWORD readNumber = 0;
  DWORD type = REG_NONE;
  DWORD size = sizeof readNumber;
  ASSERT_EQ(RegQueryValueExA(key.get(), "dword", nullptr, &type, reinterpret_cast<BYTE*>(&readNumber), &size),
            kSuccess);
  EXPECT_EQ(readNumber, number);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

  BYTE readBinary[8] = {};
  size = sizeof readBinary;
  ASSERT_EQ(RegQueryValueExA(key.get(), "binary", nullptr, &type, readBinary, &size), kSuccess);
  EXPECT_EQ(size, sizeof binary);
  EXPECT_EQ(std::memcmp(readBinary, binary, sizeof binary), 0);

  size = 99;
  ASSERT_EQ(RegQueryValueExA(key.get(), "empty", nullptr, &type, readBinary, &size), kSuccess);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(queryString(key.get(), "raw"), "ab");
}

TEST_F(Registry, EnumeratesSubKeysInCaseInsensitiveOrder) {
  UniqueHkey parent = createKey(HKEY_CURRENT_USER, "Software\\Order");
  for (const char* name : {"b", "_under", "C", "a2", "A1", "Zeta"}) createKey(parent.get(), name);
  // Compared upper-cased, as the original platform does: "_" sorts after the letters.
  EXPECT_EQ(subKeyNames(parent.get()), (std::vector<std::string>{"A1", "a2", "b", "C", "Zeta", "_under"}));

  char name[3];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(parent.get(), 4, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(parent.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr), kSuccess);
  EXPECT_STREQ(name, "A1");
  EXPECT_EQ(size, 2u);
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(parent.get(), 6, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, EnumeratesValuesWithTheirData) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Values");
  ASSERT_EQ(setString(key.get(), "b", "longer text"), kSuccess);
  ASSERT_EQ(setString(key.get(), "A", "x"), kSuccess);
  char name[8];
  DWORD nameSize = sizeof name;
  DWORD type = REG_NONE;
  char data[4];
  DWORD dataSize = sizeof data;
  ASSERT_EQ(RegEnumValueA(key.get(), 0, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize),
            kSuccess);
  EXPECT_STREQ(name, "A");
  EXPECT_EQ(dataSize, 2u);
  EXPECT_STREQ(data, "x");
  nameSize = sizeof name;
  dataSize = sizeof data;
  EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 12u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

TEST_F(Registry, DeletesOnlyKeysWithoutSubKeysAndInvalidatesTheirHandles) {
  UniqueHkey parent = createKey(HKEY_CURRENT_USER, "Software\\Tree");
  UniqueHkey child = createKey(parent.get(), "Leaf");
  ASSERT_EQ(setString(child.get(), "v", "data"), kSuccess);

  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tree"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(parent.get(), "Missing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteKeyA(parent.get(), "LEAF"), kSuccess);
  EXPECT_EQ(subKeyNames(parent.get()), std::vector<std::string>{});

  EXPECT_EQ(queryString(child.get(), "v"), "<error 1018>");
  EXPECT_EQ(setString(child.get(), "v", "again"), ERROR_KEY_DELETED);
  HKEY below = nullptr;
  EXPECT_EQ(RegCreateKeyExA(child.get(), "Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &below, nullptr),
            ERROR_KEY_DELETED);

  // A key created again at the same path is a new key, without the old values.
  UniqueHkey recreated = createKey(parent.get(), "Leaf");
  EXPECT_EQ(queryString(recreated.get(), "v"), "<error 2>");
  EXPECT_EQ(queryString(child.get(), "v"), "<error 1018>");

  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegDeleteKeyA(recreated.get(), ""), kSuccess);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tree"), kSuccess);
}

TEST_F(Registry, HandlesKeepTheRightsTheyWereOpenedWith) {
  createKey(HKEY_CURRENT_USER, "Software\\Rights");
  UniqueHkey reader;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Rights", KEY_READ, reader), kSuccess);
  EXPECT_EQ(setString(reader.get(), "v", "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(reader.get(), "v"), ERROR_ACCESS_DENIED);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(reader.get(), "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
            ERROR_ACCESS_DENIED);

  UniqueHkey writer;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Rights", KEY_SET_VALUE, writer), kSuccess);
  ASSERT_EQ(setString(writer.get(), "v", "x"), kSuccess);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(writer.get(), "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
}

TEST_F(Registry, ClosedAndUnknownHandlesAreRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Closed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            kSuccess);
  ASSERT_EQ(RegCloseKey(key), kSuccess);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(setString(key, "v", "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), kSuccess);
}

TEST_F(Registry, MachineHiveCarriesTheProviderCatalogue) {
  UniqueHkey catalogue;
  ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cryptography\\Defaults\\Provider", KEY_READ, catalogue), kSuccess);
  const std::vector<std::string> names = subKeyNames(catalogue.get());
  const std::vector<std::string> expected = {
      "Microsoft Base Cryptographic Provider v1.0",
      "Microsoft Base DSS and Diffie-Hellman Cryptographic Provider",
      "Microsoft Base DSS Cryptographic Provider",
      "Microsoft DH SChannel Cryptographic Provider",
      "Microsoft Enhanced Cryptographic Provider v1.0",
      "Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider",
      "Microsoft Enhanced RSA and AES Cryptographic Provider",
      "Microsoft RSA SChannel Cryptographic Provider",
      "Microsoft Strong Cryptographic Provider",
  };
  ASSERT_EQ(names, expected);
  const DWORD types[] = {1, 13, 3, 18, 1, 13, 24, 12, 1};
  for (std::size_t i = 0; i < names.size(); ++i) {
    UniqueHkey provider;
    ASSERT_EQ(openKey(catalogue.get(), names[i].c_str(), KEY_READ, provider), kSuccess);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(provider.get(), "Type", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              kSuccess);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, types[i]) << names[i];
  }
  // The user hive has no catalogue.
  UniqueHkey user;
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "SOFTWARE\\Cryptography", KEY_READ, user), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, AnExistingCatalogueIsLeftAsItIs) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Cryptography\\Defaults\\Provider\\Microsoft Strong Cryptographic Provider"),
            kSuccess);
  // A fresh connection to the same file (another home in between) finds
  // the catalogue key and does not add the provider back.
  const std::string first = home_.path();
  {
    testing_support::TempHome elsewhere;
    createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Elsewhere");
  }
  ::setenv("TARVENHOLM_HOME", first.c_str(), 1);
  UniqueHkey catalogue;
  ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cryptography\\Defaults\\Provider", KEY_READ, catalogue), kSuccess);
  EXPECT_EQ(subKeyNames(catalogue.get()).size(), 8u);
}

TEST_F(Registry, WritesSurviveAFreshConnection) {
  {
    UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Durable");
    ASSERT_EQ(setString(key.get(), "kept", "yes"), kSuccess);
  }
  // Switching homes drops this process's connection to the first hive.
  const std::string first = home_.path();
  {
    testing_support::TempHome elsewhere;
    UniqueHkey probe;
    EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Durable", KEY_READ, probe), ERROR_FILE_NOT_FOUND);
  }
  ::setenv("TARVENHOLM_HOME", first.c_str(), 1);
  UniqueHkey key;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Durable", KEY_READ, key), kSuccess);
  EXPECT_EQ(queryString(key.get(), "kept"), "yes");
}

TEST_F(Registry, AHiveFileReplacedOnDiskIsOpenedAfresh) {
  createKey(HKEY_CURRENT_USER, "Software\\BeforeReplacement");
  ASSERT_EQ(std::remove(platform::userHivePath().c_str()), 0);
  UniqueHkey probe;
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\BeforeReplacement", KEY_READ, probe), ERROR_FILE_NOT_FOUND);
  createKey(HKEY_CURRENT_USER, "Software\\AfterReplacement");
  struct stat info {};
  EXPECT_EQ(::stat(platform::userHivePath().c_str(), &info), 0);
}

TEST_F(Registry, AFileThatIsNoHiveIsReportedAsCorrupt) {
  ASSERT_TRUE(platform::ensureHomeDirectory());
  FILE* file = std::fopen(platform::userHivePath().c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("this is not a database file, and it is long enough to have a header of its own......", file);
  std::fclose(file);
  UniqueHkey key;
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software", KEY_READ, key), ERROR_BADDB);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
}

TEST_F(Registry, EveryCallHonoursTheFaultSwitch) {
  UniqueHkey key = createKey(HKEY_CURRENT_USER, "Software\\Faults");
  ASSERT_EQ(setString(key.get(), "v", "x"), kSuccess);
  platform::faultArm("RegOpenKeyExA", 1, ERROR_CANTOPEN);
  UniqueHkey opened;
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Faults", KEY_READ, opened), ERROR_CANTOPEN);
  EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Faults", KEY_READ, opened), kSuccess);

  platform::faultArm("RegCreateKeyExA", 0, ERROR_ACCESS_DENIED);
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Faults\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &created, nullptr),
            ERROR_ACCESS_DENIED);
  platform::faultArm("RegSetValueExA", 0, ERROR_CANTWRITE);
  EXPECT_EQ(setString(key.get(), "v", "y"), ERROR_CANTWRITE);
  platform::faultArm("RegQueryValueExA", 0, ERROR_CANTREAD);
  EXPECT_EQ(queryString(key.get(), "v"), "<error 1012>");
  platform::faultArm("RegEnumKeyExA", 0, ERROR_CANTREAD);
  char name[16];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(HKEY_CURRENT_USER, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_CANTREAD);
  platform::faultArm("RegEnumValueA", 0, ERROR_CANTREAD);
  EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_CANTREAD);
  platform::faultArm("RegDeleteValueA", 0, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key.get(), "v"), ERROR_ACCESS_DENIED);
  platform::faultArm("RegDeleteKeyA", 0, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Faults"), ERROR_ACCESS_DENIED);
  platform::faultArm("RegCloseKey", 0, ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key.release()), ERROR_INVALID_HANDLE);

  platform::faultReset();
  // Nothing the failed calls were asked to do happened.
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Faults", KEY_READ, opened), kSuccess);
  EXPECT_EQ(queryString(opened.get(), "v"), "x");
  EXPECT_EQ(subKeyNames(opened.get()), std::vector<std::string>{});
}

TEST_F(Registry, ThreadsShareAHiveSafely) {
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string path = "Software\\Threads\\" + std::to_string(t) + "-" + std::to_string(i);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
          continue;
        setString(key, "n", path);
        RegCloseKey(key);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  UniqueHkey parent;
  ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Threads", KEY_READ, parent), kSuccess);
  EXPECT_EQ(subKeyNames(parent.get()).size(), static_cast<std::size_t>(kThreads * kKeysEach));
}

// Child of ProcessesWritingOneHiveLoseNothing: writes its share of keys.
TEST(RegistryChild, WritesKeys) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  const std::string writer = std::getenv("REGISTRY_TEST_WRITER");
  const int count = std::atoi(std::getenv("REGISTRY_TEST_COUNT"));
  int written = 0;
  for (int i = 0; i < count; ++i) {
    const std::string path = "SOFTWARE\\Tarvenholm\\GK\\" + writer + "-" + std::to_string(i);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      continue;
    UniqueHkey owned(key);
    if (setString(key, "a", path) == ERROR_SUCCESS && setString(key, "b", writer) == ERROR_SUCCESS) ++written;
  }
  testing_support::reportToParent(std::to_string(written));
}

TEST_F(Registry, ProcessesWritingOneHiveLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kKeysEach = 60;
  std::vector<std::unique_ptr<testing_support::ChildProcess>> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.push_back(std::make_unique<testing_support::ChildProcess>(
        "RegistryChild.WritesKeys",
        std::vector<std::pair<std::string, std::string>>{{"REGISTRY_TEST_WRITER", "w" + std::to_string(w)},
                                                         {"REGISTRY_TEST_COUNT", std::to_string(kKeysEach)}}));
  for (auto& writer : writers) {
    const testing_support::ChildResult result = writer->wait();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.reports, std::vector<std::string>{std::to_string(kKeysEach)});
  }
  UniqueHkey parent;
  ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm\\GK", KEY_READ, parent), kSuccess);
  const std::vector<std::string> names = subKeyNames(parent.get());
  ASSERT_EQ(names.size(), static_cast<std::size_t>(kWriters * kKeysEach));
  for (const std::string& name : names) {
    UniqueHkey record;
    ASSERT_EQ(openKey(parent.get(), name.c_str(), KEY_READ, record), kSuccess);
    EXPECT_EQ(queryString(record.get(), "a"), "SOFTWARE\\Tarvenholm\\GK\\" + name);
  }
}

// Child of AHiveTheProcessMayNotWriteRefusesWriteRights: reports what an
// unprivileged process gets from a hive it may read but not write.
TEST(RegistryChild, ProbesAReadOnlyHive) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  auto report = [](const char* what, LSTATUS status) {
    testing_support::reportToParent(std::string(what) + "=" + std::to_string(status));
  };
  UniqueHkey key;
  report("open-all", openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm", KEY_ALL_ACCESS, key));
  report("open-read", openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm", KEY_READ, key));
  testing_support::reportToParent("value=" + (key ? queryString(key.get(), "v") : std::string("-")));
  report("set", key ? setString(key.get(), "v", "changed") : -1);
  HKEY created = nullptr;
  report("create-new", RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr,
                                       &created, nullptr));
  report("create-existing", RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm", 0, nullptr, 0, KEY_READ,
                                            nullptr, &created, nullptr));
  RegCloseKey(created);
  report("delete", RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm"));
  report("root-set", setString(HKEY_LOCAL_MACHINE, "v", "x"));
}

TEST_F(Registry, AHiveTheProcessMayNotWriteRefusesWriteRights) {
  if (const std::string why = testing_support::whyNobodyCannotStartThisExecutable(); !why.empty()) GTEST_SKIP() << why;
  testing_support::SharedMachineHive shared(home_.path());
  {
    UniqueHkey key = createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm");
    ASSERT_EQ(setString(key.get(), "v", "original"), kSuccess);
  }
  const testing_support::ChildResult result = shared.runReadOnlyChild("RegistryChild.ProbesAReadOnlyHive");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.reports, (std::vector<std::string>{"open-all=5", "open-read=0", "value=original", "set=5",
                                                      "create-new=5", "create-existing=0", "delete=5",
                                                      "root-set=5"}));
  // The probe changed nothing.
  UniqueHkey key;
  ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm", KEY_READ, key), kSuccess);
  EXPECT_EQ(queryString(key.get(), "v"), "original");
}

}  // namespace
