// Registration and unregistration through the module's own entry points,
// read back from the registry, with registry writes and type library loads
// failed on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "control/identifiers.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "testlib/control_module.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using testing_support::ControlModule;
using testing_support::registryText;
using testing_support::registryTree;

const std::string classKey = "CLSID\\" + platform::guidText(tarvenholm::CLSID_keyGenerator);
const std::string progId = "Tarvenholm.keyGenerator";
const std::string libraryKey = "TypeLib\\" + platform::guidText(tarvenholm::LIBID_Tarvenholm);

struct Written {
  std::string key;
  const char* valueName;
  std::string data;
};

// The server entries in the order they are written, then the type library's.
std::vector<Written> serverEntries(const std::string& modulePath) {
  return {
      {classKey, nullptr, "Tarvenholm Control"},
      {classKey + "\\InprocServer32", nullptr, modulePath},
      {classKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {progId, nullptr, "Tarvenholm Control"},
      {progId + "\\CLSID", nullptr, platform::guidText(tarvenholm::CLSID_keyGenerator)},
      {classKey + "\\ProgID", nullptr, progId},
      {classKey + "\\Version", nullptr, "1.1"},
      {classKey + "\\Typelib", nullptr, platform::guidText(tarvenholm::LIBID_Tarvenholm)},
  };
}

// The control entries in the order they are written, after the type library's.
std::vector<Written> controlEntries(const std::string& modulePath) {
  return {
      {classKey + "\\MiscStatus", nullptr, "0"},
      {classKey + "\\MiscStatus\\1", nullptr, "131473"},
      {classKey + "\\ToolboxBitmap32", nullptr, modulePath + ",1"},
      {classKey + "\\Control", nullptr, ""},
      {classKey + "\\Verb", nullptr, ""},
      {classKey + "\\Verb\\0", nullptr, "Properties,0,2"},
  };
}

bool isWritten(const Written& entry) {
  bool written = false;
  const std::string data = registryText(entry.key, entry.valueName, &written);
  return written && data == entry.data;
}

bool isAbsent(const Written& entry) {
  bool written = false;
  registryText(entry.key, entry.valueName, &written);
  return !written;
}

bool keyExists(const std::string& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

void createKey(const std::string& key) {
  HKEY opened = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(opened);
}

void copyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

class ModuleRegistration : public testing_support::HomeTest {
 protected:
  std::string file(const std::string& name) const { return home_.path() + "/" + name; }

  ControlModule module_;
};

TEST_F(ModuleRegistration, WritesEveryEntryWithItsValue) {
  ASSERT_EQ(module_.registerServer(), S_OK);

  std::map<std::string, std::string> expected;
  for (const std::vector<Written>& entries : {serverEntries(module_.path()), controlEntries(module_.path())})
    for (const Written& entry : entries) {
      if (entry.key.starts_with(progId)) continue;
      expected[entry.key] = "";
      expected[entry.key + "|" + (entry.valueName ? entry.valueName : "")] =
          std::to_string(REG_SZ) + ":" + entry.data + std::string(1, '\0');
    }
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, classKey), expected) << "the class key holds these entries and no more";
  EXPECT_EQ(registryText(progId), "Tarvenholm Control");
  EXPECT_EQ(registryText(progId + "\\CLSID"), platform::guidText(tarvenholm::CLSID_keyGenerator));
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, progId).size(), 4u);

  // The type library, registered last from the module itself.
  const std::string version = libraryKey + "\\1.1";
  EXPECT_EQ(registryText(version), "Tarvenholm Library");
  EXPECT_EQ(registryText(version + "\\FLAGS"), "2") << "a control library";
  EXPECT_EQ(registryText(version + "\\0\\win32"), module_.path());
  EXPECT_EQ(registryText(version + "\\HELPDIR"), std::string(TARVENHOLM_BINARY_DIR) + "/");
  const std::string dispatch = "Interface\\" + platform::guidText(tarvenholm::IID_ITarvenholmX);
  EXPECT_EQ(registryText(dispatch), "ITarvenholmX");
  EXPECT_EQ(registryText(dispatch + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(registryText(dispatch + "\\TypeLib"), platform::guidText(tarvenholm::LIBID_Tarvenholm));
  const std::string second = "Interface\\" + platform::guidText(tarvenholm::IID_ITarvenholmX2);
  EXPECT_EQ(registryText(second), "ITarvenholmX2");
  EXPECT_EQ(registryText(second + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
  const std::string events = "Interface\\" + platform::guidText(tarvenholm::DIID_ITarvenholmEvents);
  EXPECT_EQ(registryText(events), "ITarvenholmEvents");
  EXPECT_EQ(registryText(events + "\\ProxyStubClsid32"), "{00020420-0000-0000-C000-000000000046}");
}

TEST_F(ModuleRegistration, RegisteringAgainWritesTheSameEntries) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  const auto first = registryTree(HKEY_CLASSES_ROOT, "");
  ASSERT_EQ(module_.registerServer(), S_OK);
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, ""), first);
  EXPECT_GT(first.size(), 30u);
}

// A failed write ends the server entries where it happens; the control
// entries are written all the same and the failure is the result.
TEST_F(ModuleRegistration, ServerEntriesAreWrittenInOrderUntilOneFails) {
  const std::vector<Written> server = serverEntries(module_.path());
  for (unsigned failing = 1; failing <= server.size(); ++failing) {
    ASSERT_EQ(module_.unregisterServer(), S_OK);
    platform::faultArm("RegSetValueExA", failing, ERROR_ACCESS_DENIED);
    EXPECT_EQ(module_.registerServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "write " << failing;
    for (unsigned i = 0; i < server.size(); ++i)
      EXPECT_TRUE(i + 1 < failing ? isWritten(server[i]) : isAbsent(server[i]))
          << "write " << failing << ": " << server[i].key << " " << (server[i].valueName ? server[i].valueName : "");
    for (const Written& entry : controlEntries(module_.path())) EXPECT_TRUE(isWritten(entry)) << entry.key;
    platform::faultReset();
  }
}

TEST_F(ModuleRegistration, ControlEntriesFollowTheTypeLibraryAndIgnoreFailedWrites) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  const std::vector<Written> control = controlEntries(module_.path());
  // The class writes its server entries, the library's, its control
  // entries, and the module then the library's once more.
  const unsigned writes = platform::faultUses("RegSetValueExA");
  const unsigned libraryWrites = (writes - 8 - static_cast<unsigned>(control.size())) / 2;
  ASSERT_EQ(8 + 2 * libraryWrites + control.size(), writes);

  platform::faultReset();
  platform::faultArm("RegSetValueExA", 9, ERROR_ACCESS_DENIED);
  EXPECT_EQ(module_.registerServer(), TYPE_E_REGISTRYACCESS) << "the library's first write comes next";

  for (unsigned failing = 0; failing < control.size(); ++failing) {
    ASSERT_EQ(module_.unregisterServer(), S_OK);
    platform::faultReset();
    platform::faultArm("RegSetValueExA", 8 + libraryWrites + failing + 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(module_.registerServer(), S_OK);
    for (unsigned i = 0; i < control.size(); ++i)
      EXPECT_TRUE(i == failing ? isAbsent(control[i]) : isWritten(control[i])) << control[i].key;
  }
}

TEST_F(ModuleRegistration, TypeLibraryRegistrationFailureIsTheResult) {
  platform::faultArm("RegisterTypeLib", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(module_.registerServer(), TYPE_E_REGISTRYACCESS);
  for (const Written& entry : serverEntries(module_.path())) EXPECT_TRUE(isWritten(entry)) << entry.key;
  for (const Written& entry : controlEntries(module_.path())) EXPECT_TRUE(isWritten(entry)) << entry.key;
}

// The class's own load of the library has no fallback: the server entries
// stay unwritten, the control entries are written, registration fails.
TEST_F(ModuleRegistration, AModuleWithoutItsLibraryFailsToRegister) {
  const std::string bare = file("libtarvenholm-control.so");
  std::string output;
  ASSERT_EQ(
      testing_support::runCommand("objcopy --remove-section .typelib '" + module_.path() + "' '" + bare + "'", output), 0)
      << output;
  copyFile(testing_support::builtTypeLibPath(), file("libtarvenholm-control.tlb"));
  ControlModule copy(bare);
  EXPECT_EQ(copy.registerServer(), TYPE_E_CANTLOADLIBRARY);
  for (const Written& entry : serverEntries(bare)) EXPECT_TRUE(isAbsent(entry)) << entry.key;
  EXPECT_FALSE(keyExists(progId));
  EXPECT_FALSE(keyExists(libraryKey));
  for (const Written& entry : controlEntries(bare)) EXPECT_TRUE(isWritten(entry)) << entry.key;

  platform::faultArm("LoadTypeLib", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(module_.registerServer(), TYPE_E_CANTLOADLIBRARY);
  for (const Written& entry : serverEntries(module_.path())) EXPECT_TRUE(isAbsent(entry)) << entry.key;
}

// The module's second load of its library falls back to the .tlb beside it
// and registers the library from there.
TEST_F(ModuleRegistration, TheModulesOwnLibraryLoadFallsBackToTheTlbBesideIt) {
  std::filesystem::create_directory(file("two words"));
  const std::string copied = file("two words/libtarvenholm-control.so");
  copyFile(module_.path(), copied);
  ControlModule copy(copied);
  platform::faultArm("LoadTypeLib", 2, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(copy.registerServer(), TYPE_E_CANTLOADLIBRARY) << "no .tlb beside the copy yet";

  copyFile(testing_support::builtTypeLibPath(), file("two words/libtarvenholm-control.tlb"));
  platform::faultReset();
  platform::faultArm("LoadTypeLib", 2, ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(copy.registerServer(), S_OK);
  EXPECT_EQ(registryText(libraryKey + "\\1.1\\0\\win32"), file("two words/libtarvenholm-control.tlb"));
  EXPECT_EQ(registryText(libraryKey + "\\1.1\\HELPDIR"), file("two words/"));
  // White space in the path is registered as it is.
  EXPECT_EQ(registryText(classKey + "\\InprocServer32"), copied);
  EXPECT_EQ(registryText(classKey + "\\ToolboxBitmap32"), copied + ",1");
}

TEST_F(ModuleRegistration, UnregistrationRemovesTheClassTreesAndKeepsTheLibrary) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  createKey(classKey + "\\Verb\\0\\added\\deeper\\deepest");
  createKey(progId + "\\CurVer");
  const std::string neighbour = "CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32";
  createKey(neighbour);
  const auto library = registryTree(HKEY_CLASSES_ROOT, libraryKey);
  const auto dispatch = registryTree(HKEY_CLASSES_ROOT, "Interface");

  EXPECT_EQ(module_.unregisterServer(), S_OK);
  EXPECT_FALSE(keyExists(classKey));
  EXPECT_FALSE(keyExists(progId));
  EXPECT_TRUE(keyExists(neighbour));
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, libraryKey), library);
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, "Interface"), dispatch);
  EXPECT_EQ(module_.unregisterServer(), S_OK) << "nothing left to remove";
}

TEST_F(ModuleRegistration, UnregistrationThatCannotReadTheLibraryRemovesNothingAndSaysSo) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  const auto registered = registryTree(HKEY_CLASSES_ROOT, "");
  platform::faultArm("LoadTypeLib", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(module_.unregisterServer(), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(registryTree(HKEY_CLASSES_ROOT, ""), registered);
}

// A key that refuses deletion ends the walk instead of being found first forever.
TEST_F(ModuleRegistration, UndeletableKeysEndTheDeletionQuietly) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  platform::faultArm("RegDeleteKeyA", 0, ERROR_ACCESS_DENIED);
  EXPECT_EQ(module_.unregisterServer(), S_OK);
  EXPECT_TRUE(keyExists(classKey + "\\Verb\\0"));
  EXPECT_GT(platform::faultUses("RegDeleteKeyA"), 0u);
  platform::faultReset();

  platform::faultArm("RegDeleteKeyA", 3, ERROR_ACCESS_DENIED);
  EXPECT_EQ(module_.unregisterServer(), S_OK);
  EXPECT_TRUE(keyExists(classKey)) << "its third sub-key would not go";
  EXPECT_FALSE(keyExists(progId)) << "the program identifier's tree is removed all the same";
  platform::faultReset();
  EXPECT_EQ(module_.unregisterServer(), S_OK);
  EXPECT_FALSE(keyExists(classKey));
}

}  // namespace
