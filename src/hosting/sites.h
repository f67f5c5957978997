// What the browser bridge remembers about the pages that call it: per
// origin, the user's "always allow" or "deny" (user hive), and the
// administrator's policy (machine hive), which comes first. The command
// line lists and revokes the user's decisions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvenholm::hosting {

enum class SiteDecision { Allow, Deny };

// The origin in its one written form ("https://host[:port]", lower case,
// no path) when a page there may use the bridge at all: https, or http on
// this machine (localhost, 127.0.0.1, [::1]). Nothing for anything else.
std::optional<std::string> secureOrigin(std::string_view origin);

// "allow" / "deny".
const char* siteDecisionName(SiteDecision decision);

std::optional<SiteDecision> machineSitePolicy(const std::string& origin);
std::optional<SiteDecision> userSiteDecision(const std::string& origin);
bool rememberSiteDecision(const std::string& origin, SiteDecision decision);
// False when there was nothing to forget.
bool forgetSiteDecision(const std::string& origin);

// Every decision of the hive, in the hive's order.
std::vector<std::pair<std::string, SiteDecision>> userSiteDecisions();
std::vector<std::pair<std::string, SiteDecision>> machineSitePolicies();

// The pinentry program the user chose for the bridge's questions, if any.
std::optional<std::string> userPinentryProgram();

}  // namespace tarvenholm::hosting
