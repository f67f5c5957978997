#include "platform/fault.h"

#ifdef TARVENHOLM_FAULTS

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/lasterror.h"

namespace platform {
namespace {

struct Arming {
  std::string name;
  unsigned nth = 0;
  DWORD error = 0;
  bool hasError = false;
};

struct FaultState {
  std::mutex mutex;
  std::vector<Arming> armed;
  std::map<std::string, unsigned> uses;
  bool environmentRead = false;
};

FaultState& state() {
  static FaultState s;
  return s;
}

void armFromEnvironment(FaultState& s) {
  if (s.environmentRead) return;
  s.environmentRead = true;
  const char* text = std::getenv("TARVENHOLM_FAULTS");
  if (text == nullptr) return;
  std::string all(text);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    Arming arming;
    std::size_t colon = item.find(':');
    arming.name = item.substr(0, colon);
    if (colon != std::string::npos) {
      std::string rest = item.substr(colon + 1);
      std::size_t colon2 = rest.find(':');
      arming.nth = static_cast<unsigned>(std::strtoul(rest.substr(0, colon2).c_str(), nullptr, 10));
      if (colon2 != std::string::npos) {
        arming.error = static_cast<DWORD>(std::strtoul(rest.substr(colon2 + 1).c_str(), nullptr, 0));
        arming.hasError = true;
      }
    }
    s.armed.push_back(arming);
  }
}

}  // namespace

bool faultHit(const char* name, DWORD defaultError) {
  FaultState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  armFromEnvironment(s);
  unsigned use = ++s.uses[name];
  for (const Arming& arming : s.armed) {
    if (arming.name != name) continue;
    if (arming.nth != 0 && arming.nth != use) continue;
    SetLastError(arming.hasError ? arming.error : defaultError);
    return true;
  }
  return false;
}

void faultArm(const char* name, unsigned nth, DWORD error) {
  FaultState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  armFromEnvironment(s);
  s.uses[name] = 0;
  s.armed.push_back(Arming{name, nth, error, true});
}

void faultReset() {
  FaultState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.environmentRead = true;
  s.armed.clear();
  s.uses.clear();
}

unsigned faultUses(const char* name) {
  FaultState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.uses.find(name);
  return it == s.uses.end() ? 0 : it->second;
}

}  // namespace platform

#endif
