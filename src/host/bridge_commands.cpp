// bridge install|status|sites|revoke: the browser bridge's native host
// manifests for the user's browsers, and the sites the user decided on.
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "host/commands.h"
#include "host/console.h"
#include "hosting/native_host.h"
#include "hosting/sites.h"
#include "platform/libloader.h"

namespace tarvenholm::host {
namespace {

using hosting::Browser;

struct BrowserPlaces {
  Browser browser;
  const char* name;
  const char* userDirectory;    // below the home directory
  const char* systemDirectory;  // where `make install` puts the manifest
  const char* profileDirectory;  // below a given profile
};

const std::vector<BrowserPlaces>& browsers() {
  static const std::vector<BrowserPlaces> places = {
      {Browser::Chromium, "chromium", ".config/chromium/NativeMessagingHosts", "/etc/chromium/native-messaging-hosts",
       "NativeMessagingHosts"},
      {Browser::Chrome, "chrome", ".config/google-chrome/NativeMessagingHosts",
       "/etc/opt/chrome/native-messaging-hosts", "NativeMessagingHosts"},
      {Browser::Firefox, "firefox", ".mozilla/native-messaging-hosts", "/usr/lib/mozilla/native-messaging-hosts",
       "native-messaging-hosts"},
  };
  return places;
}

std::string manifestName() { return std::string(hosting::kNativeHostName) + ".json"; }

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') throw UsageError("HOME is not set: give --profile DIR");
  return home;
}

// tarvenholm-bridge beside this command.
std::string bridgePath() {
  char self[PATH_MAX];
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string path(self, length < sizeof self ? length : 0);
  return path.substr(0, path.rfind('/') + 1) + "tarvenholm-bridge";
}

// The browsers the command line names: --browser's, else every one.
std::vector<const BrowserPlaces*> chosenBrowsers(const CommandLine& line) {
  std::vector<const BrowserPlaces*> chosen;
  const std::string* name = line.option("--browser");
  for (const BrowserPlaces& places : browsers())
    if (name == nullptr || *name == places.name) chosen.push_back(&places);
  if (chosen.empty()) throw UsageError("--browser takes chromium, chrome or firefox, not '" + *name + "'", line.name());
  return chosen;
}

std::string directoryFor(const BrowserPlaces& places, const CommandLine& line) {
  if (const std::string* profile = line.option("--profile")) return *profile + "/" + places.profileDirectory;
  return homeDirectory() + "/" + places.userDirectory;
}

// What the manifest at `path` says of the bridge: "installed" when it is
// ours and names an executable bridge, else what is wrong.
std::string manifestState(const std::string& path, Browser browser) {
  std::ifstream file(path);
  if (!file) return "absent";
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string bridge = bridgePath();
  if (text == hosting::nativeHostManifest(browser, bridge))
    return ::access(bridge.c_str(), X_OK) == 0 ? "installed" : "installed, but " + bridge + " is missing";
  return "present, not made by this tarvenholm";
}

int runBridgeInstall(Host&, const CommandLine& line) {
  const std::string bridge = bridgePath();
  int status = kExitSuccess;
  for (const BrowserPlaces* places : chosenBrowsers(line)) {
    const std::string directory = directoryFor(*places, line);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string path = directory + "/" + manifestName();
    std::ofstream file(path, std::ios::trunc);
    file << hosting::nativeHostManifest(places->browser, bridge);
    file.close();
    if (error || !file) {
      reportFailure({"cannot write " + path, "no se pudo escribir " + path});
      status = kExitFailure;
      continue;
    }
    std::printf("%s\t%s\n", places->name, path.c_str());
  }
  return status;
}

int runBridgeStatus(Host&, const CommandLine& line) {
  for (const BrowserPlaces* places : chosenBrowsers(line)) {
    for (const std::string& directory : {directoryFor(*places, line), std::string(places->systemDirectory)}) {
      const std::string path = directory + "/" + manifestName();
      std::printf("%s\t%s\t%s\n", places->name, path.c_str(), manifestState(path, places->browser).c_str());
    }
  }
  return kExitSuccess;
}

int runBridgeSites(Host&, const CommandLine&) {
  for (const auto& [origin, decision] : hosting::machineSitePolicies())
    std::printf("%s\t%s\tpolicy\n", origin.c_str(), hosting::siteDecisionName(decision));
  for (const auto& [origin, decision] : hosting::userSiteDecisions())
    std::printf("%s\t%s\tuser\n", origin.c_str(), hosting::siteDecisionName(decision));
  return kExitSuccess;
}

int runBridgeRevoke(Host&, const CommandLine& line) {
  const std::string& origin = line.operands.front();
  const std::string written = hosting::secureOrigin(origin).value_or(origin);
  if (hosting::forgetSiteDecision(written)) return kExitSuccess;
  reportFailure({"no decision of yours is remembered for " + written, "no hay ninguna decisión suya para " + written});
  return kExitFailure;
}

}  // namespace

const std::vector<CommandSpec>& bridgeCommandSpecs() {
  static const std::vector<CommandSpec> specs = {
      {{"bridge", "install"},
       {{"--browser", true}, {"--profile", true}},
       0,
       0,
       "bridge install [--browser chromium|chrome|firefox] [--profile DIR]",
       "let a browser start the bridge for the Tarvenholm extension",
       "Write the native messaging host manifest that lets the browser start\n"
       "tarvenholm-bridge (beside this command) for the Tarvenholm extension, for\n"
       "the user: in ~/.config/chromium/NativeMessagingHosts,\n"
       "~/.config/google-chrome/NativeMessagingHosts or\n"
       "~/.mozilla/native-messaging-hosts. Prints one line per manifest written:\n"
       "the browser, a tab, the file.\n"
       "\n"
       "      --browser NAME   only this browser (default: all three)\n"
       "      --profile DIR    into the browser profile (user data directory) DIR\n",
       runBridgeInstall},
      {{"bridge", "status"},
       {{"--browser", true}, {"--profile", true}},
       0,
       0,
       "bridge status [--browser chromium|chrome|firefox] [--profile DIR]",
       "say where the bridge is installed for the browsers",
       "Print one line per place a browser looks for the bridge's manifest, the\n"
       "user's and the system's: the browser, a tab, the file, a tab, and\n"
       "\"installed\", \"absent\" or what is wrong with it.\n",
       runBridgeStatus},
      {{"bridge", "sites"},
       {},
       0,
       0,
       "bridge sites",
       "list the sites allowed or denied the use of the bridge",
       "Print one line per site: its origin, a tab, \"allow\" or \"deny\", a tab, and\n"
       "\"policy\" (the administrator's, in the machine hive, which comes first)\n"
       "or \"user\" (the user's answer \"always\" or \"deny\").\n",
       runBridgeSites},
      {{"bridge", "revoke"},
       {},
       1,
       1,
       "bridge revoke ORIGIN",
       "forget what the user decided for a site",
       "Forget the user's \"always\" or \"deny\" for the site ORIGIN\n"
       "(e.g. https://ca.example): the site asks again next time.\n",
       runBridgeRevoke},
  };
  return specs;
}

}  // namespace tarvenholm::host
