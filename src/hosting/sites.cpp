#include "hosting/sites.h"

#include <algorithm>
#include <cctype>

#include "platform/lasterror.h"
#include "platform/registry.h"

namespace tarvenholm::hosting {
namespace {

constexpr char kUserSites[] = "Software\\Tarvenholm\\Bridge\\Sites";
constexpr char kMachineSites[] = "SOFTWARE\\Policies\\Tarvenholm\\Bridge\\Sites";
constexpr char kUserBridge[] = "Software\\Tarvenholm\\Bridge";
constexpr char kPinentryValue[] = "Pinentry";
// Origins are short; a longer value name is not one of ours.
constexpr DWORD kMaxNameSize = 512;
constexpr DWORD kMaxTextSize = 4096;

bool isHostCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; }

bool isPort(std::string_view port) {
  return !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  }) && std::stoul(std::string(port)) <= 65535;
}

UniqueHkey openKey(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  return UniqueHkey(key);
}

std::optional<std::string> textValue(HKEY root, const char* path, const std::string& name) {
  const UniqueHkey key = openKey(root, path);
  if (!key) return std::nullopt;
  std::string data(kMaxTextSize, '\0');
  DWORD type = 0;
  DWORD size = kMaxTextSize;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return std::nullopt;
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  return data;
}

std::optional<SiteDecision> decisionOf(const std::optional<std::string>& text) {
  if (text == "allow") return SiteDecision::Allow;
  if (text == "deny") return SiteDecision::Deny;
  return std::nullopt;
}

std::vector<std::pair<std::string, SiteDecision>> decisionsUnder(HKEY root, const char* path) {
  std::vector<std::pair<std::string, SiteDecision>> decisions;
  const UniqueHkey key = openKey(root, path);
  if (!key) return decisions;
  for (DWORD index = 0;; ++index) {
    char name[kMaxNameSize];
    char data[16] = {};
    DWORD nameSize = sizeof name;
    DWORD type = 0;
    DWORD dataSize = sizeof data - 1;
    const LSTATUS status =
        RegEnumValueA(key.get(), index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
    if (status == ERROR_MORE_DATA) continue;  // not a decision of ours
    if (status != ERROR_SUCCESS) break;
    const std::optional<SiteDecision> decision = type == REG_SZ ? decisionOf(std::string(data)) : std::nullopt;
    if (decision) decisions.emplace_back(std::string(name, nameSize), *decision);
  }
  return decisions;
}

}  // namespace

std::optional<std::string> secureOrigin(std::string_view origin) {
  std::string lower(origin);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  bool https = false;
  std::string_view rest = lower;
  if (rest.starts_with("https://")) {
    https = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  std::string_view host = rest;
  std::string_view port;
  if (host.starts_with("[")) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return std::nullopt;
      port = host.substr(close + 2);
      if (!isPort(port)) return std::nullopt;
    }
    host = host.substr(0, close + 1);
    const std::string_view address = host.substr(1, host.size() - 2);
    if (address.empty() || !std::all_of(address.begin(), address.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        }))
      return std::nullopt;
  } else {
    if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
      port = host.substr(colon + 1);
      host = host.substr(0, colon);
      if (!isPort(port)) return std::nullopt;
    }
    if (host.empty() || host.size() > 253 || !std::all_of(host.begin(), host.end(), isHostCharacter) ||
        host.front() == '.' || host.front() == '-')
      return std::nullopt;
  }
  if (!https && host != "localhost" && host != "127.0.0.1" && host != "[::1]") return std::nullopt;
  return lower;
}

const char* siteDecisionName(SiteDecision decision) { return decision == SiteDecision::Allow ? "allow" : "deny"; }

std::optional<SiteDecision> machineSitePolicy(const std::string& origin) {
  return decisionOf(textValue(HKEY_LOCAL_MACHINE, kMachineSites, origin));
}

std::optional<SiteDecision> userSiteDecision(const std::string& origin) {
  return decisionOf(textValue(HKEY_CURRENT_USER, kUserSites, origin));
}

bool rememberSiteDecision(const std::string& origin, SiteDecision decision) {
  HKEY created = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kUserSites, 0, nullptr, 0, KEY_WRITE, nullptr, &created, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const UniqueHkey key(created);
  const std::string text = siteDecisionName(decision);
  return RegSetValueExA(key.get(), origin.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool forgetSiteDecision(const std::string& origin) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kUserSites, 0, KEY_WRITE, &opened) != ERROR_SUCCESS) return false;
  const UniqueHkey key(opened);
  return RegDeleteValueA(key.get(), origin.c_str()) == ERROR_SUCCESS;
}

std::vector<std::pair<std::string, SiteDecision>> userSiteDecisions() {
  return decisionsUnder(HKEY_CURRENT_USER, kUserSites);
}

std::vector<std::pair<std::string, SiteDecision>> machineSitePolicies() {
  return decisionsUnder(HKEY_LOCAL_MACHINE, kMachineSites);
}

std::optional<std::string> userPinentryProgram() { return textValue(HKEY_CURRENT_USER, kUserBridge, kPinentryValue); }

}  // namespace tarvenholm::hosting
