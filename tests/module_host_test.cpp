// The tarvenholm command as a host of the module: creation by program
// identifier, registration on a home's first run, the register and
// unregister commands, and an installed copy in a prefix of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "control/identifiers.h"
#include "testlib/control_module.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"
#include "testlib/host_process.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using testing_support::HostRun;
using testing_support::linesOf;
using testing_support::registryText;
using testing_support::runHost;

const std::string classKey = "CLSID\\" + platform::guidText(tarvenholm::CLSID_keyGenerator);
const std::string registeredNotice =
    "tarvenholm: registered the control's module " + testing_support::builtModulePath() + "\n";
constexpr const char* kProviderList =
    "Microsoft Base Cryptographic Provider v1.0|Microsoft DH SChannel Cryptographic Provider|"
    "Microsoft Enhanced Cryptographic Provider v1.0|Microsoft Enhanced RSA and AES Cryptographic Provider|"
    "Microsoft RSA SChannel Cryptographic Provider|Microsoft Strong Cryptographic Provider|\n";

HostRun runWithFault(const std::string& fault, const std::vector<std::string>& args) {
  return runHost(args, {"", {{"TARVENHOLM_FAULTS", fault}}});
}

class ModuleHostTest : public testing_support::HomeTest {};

TEST_F(ModuleHostTest, TheFirstRunOnAHomeRegistersTheModuleOnceAndSaysSo) {
  const HostRun first = runHost({"csp-list"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, kProviderList);
  EXPECT_EQ(first.err, registeredNotice);
  EXPECT_EQ(registryText(classKey + "\\InprocServer32"), testing_support::builtModulePath());

  const HostRun second = runHost({"csp-list"});
  EXPECT_EQ(second.out, kProviderList);
  EXPECT_EQ(second.err, "") << "registered already";

  ASSERT_EQ(runHost({"unregister"}).status, 0);
  const HostRun spanish = runHost({"--lang", "es", "csp-list"});
  EXPECT_EQ(spanish.err,
            "tarvenholm: se registró el módulo del control " + testing_support::builtModulePath() + "\n");
  ASSERT_EQ(runHost({"unregister"}).status, 0);
  const HostRun quiet = runHost({"--quiet", "csp-list"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "") << "--quiet drops the notice";
  EXPECT_EQ(registryText(classKey + "\\InprocServer32"), testing_support::builtModulePath());
}

// The host goes by the registration it finds: a broken one is not replaced.
TEST_F(ModuleHostTest, TheControlComesFromTheModuleRegisteredForIt) {
  ASSERT_EQ(runHost({"register"}).status, 0);
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (classKey + "\\InprocServer32").c_str(), 0, KEY_ALL_ACCESS, &opened),
            ERROR_SUCCESS);
  const std::string elsewhere = home_.path() + "/moved/libtarvenholm-control.so";
  RegSetValueExA(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(elsewhere.c_str()),
                 static_cast<DWORD>(elsewhere.size() + 1));
  RegCloseKey(opened);

  const HostRun moved = runHost({"csp-list"});
  EXPECT_EQ(moved.status, 1);
  EXPECT_EQ(moved.out, "");
  EXPECT_EQ(moved.err, "tarvenholm: cannot create the control (0x800401F8)\n");

  std::filesystem::create_directory(home_.path() + "/moved");
  std::filesystem::copy_file(testing_support::builtModulePath(), elsewhere);
  EXPECT_EQ(runHost({"csp-list"}).out, kProviderList);
}

TEST_F(ModuleHostTest, RegisterAndUnregisterRunTheModulesEntryPoints) {
  const HostRun registered = runHost({"register"});
  EXPECT_EQ(registered.status, 0);
  EXPECT_EQ(registered.out + registered.err, "");
  EXPECT_EQ(registryText("Tarvenholm.keyGenerator\\CLSID"), platform::guidText(tarvenholm::CLSID_keyGenerator));

  const HostRun unregistered = runHost({"unregister"});
  EXPECT_EQ(unregistered.status, 0);
  EXPECT_EQ(unregistered.out + unregistered.err, "");
  bool written = true;
  registryText(classKey, nullptr, &written);
  EXPECT_FALSE(written);

  const std::string module = testing_support::builtModulePath();
  const HostRun refused = runWithFault("RegisterTypeLib:1", {"register"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "tarvenholm: DllRegisterServer of " + module + " failed (0x8002801C)\n");
  const HostRun unreadable = runWithFault("LoadTypeLib:1", {"unregister"});
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_EQ(unreadable.err, "tarvenholm: DllUnregisterServer of " + module + " failed (0x80029C4A)\n");
}

TEST_F(ModuleHostTest, AHomeWhereRegistrationFailsGetsNoControl) {
  const HostRun run = runWithFault("RegisterTypeLib:1", {"genreq", "--names", "2.5.4.3=Ana"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(linesOf(run.err), (std::vector<std::string>{
                                  "tarvenholm: cannot register the control's module " +
                                      testing_support::builtModulePath() + " (0x8002801C)",
                                  "tarvenholm: cannot create the control (0x8002801C)"}));
}

// An installation in a prefix of its own runs from there: the host finds the
// installed platform library and registers the installed module.
TEST_F(ModuleHostTest, AnInstalledHostUsesTheInstalledModule) {
  // Staged under DESTDIR, so that rules installing into /etc (the browsers'
  // manifests) stay inside the test's home.
  const std::string stage = home_.path() + "/stage with space";
  const std::string prefix = stage + "/prefix";
  std::string output;
  ASSERT_EQ(testing_support::runCommand("DESTDIR='" + stage + "' cmake --install '" TARVENHOLM_BINARY_DIR
                                        "' --prefix /prefix",
                                        output),
            0)
      << output;
  const std::string host = prefix + "/bin/tarvenholm";
  ASSERT_EQ(testing_support::runCommand("ldd '" + host + "'", output), 0) << output;
  const std::string platformLine = output.substr(output.find("libtarvenholm-platform.so"));
  EXPECT_NE(platformLine.substr(0, platformLine.find('\n')).find(" => " + prefix + "/"), std::string::npos) << output;

  const std::string err = home_.path() + "/genreq.err";
  ASSERT_EQ(testing_support::runCommand("('" + host + "' --lang en genreq --names '2.5.4.3=Installed' --key-size 1024 2>'" +
                                            err + "')",
                                        output),
            0)
      << output << testing_support::readText(err);
  EXPECT_EQ(linesOf(output).size(), 1u) << output;
  EXPECT_GT(output.size(), 200u);
  const std::string notice = testing_support::readText(err);
  ASSERT_EQ(notice.rfind("tarvenholm: registered the control's module " + prefix + "/", 0), 0u) << notice;
  const std::string module = registryText(classKey + "\\InprocServer32");
  EXPECT_EQ(notice, "tarvenholm: registered the control's module " + module + "\n");
  EXPECT_EQ(module, std::filesystem::path(module).lexically_normal()) << "registered by its plain path";
  EXPECT_TRUE(std::filesystem::is_regular_file(module));
  std::filesystem::path typeLib(module);
  EXPECT_TRUE(std::filesystem::is_regular_file(typeLib.replace_extension(".tlb")));
}

}  // namespace
