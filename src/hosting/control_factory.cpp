#include "hosting/control_factory.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "control/identifiers.h"
#include "platform/lasterror.h"
#include "platform/libloader.h"
#include "platform/objbase.h"

namespace tarvenholm::hosting {
namespace {

using RegistrationEntryPoint = HRESULT (*)();

// Where the build puts the module: its file name, and its directory
// relative to the host's in an installed prefix.
constexpr char kModuleFile[] = TARVENHOLM_MODULE_FILE;
constexpr char kModuleDirectoryFromHost[] = TARVENHOLM_MODULE_DIRECTORY_FROM_HOST;

HRESULT lastErrorResult() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool isFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Loaded for one call and given up again.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path) : handle_(LoadLibraryA(path.c_str())) {}
  ~LoadedModule() {
    if (handle_ != nullptr) FreeLibrary(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  HMODULE handle() const { return handle_; }

 private:
  HMODULE handle_;
};

HRESULT registerInstalledModule(const Reports& reports) {
  const std::string module = installedModulePath(reports);
  if (module.empty()) return CO_E_DLLNOTFOUND;
  const HRESULT registered = callRegistrationEntryPoint(module, "DllRegisterServer");
  if (FAILED(registered)) {
    reports.failure({"cannot register the control's module " + module + " (" + resultCode(registered) + ")",
                   "no se pudo registrar el módulo del control " + module + " (" + resultCode(registered) + ")"});
    return registered;
  }
  reports.notice({"registered the control's module " + module, "se registró el módulo del control " + module});
  return S_OK;
}

}  // namespace

HRESULT createControl(platform::ComPtr<IDispatch>& control, const Reports& reports) {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(kProgIdWide, &clsid))) {
    const HRESULT registered = registerInstalledModule(reports);
    if (FAILED(registered)) return registered;
    const HRESULT found = CLSIDFromProgID(kProgIdWide, &clsid);
    if (FAILED(found)) return found;
  }
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.putVoid());
}

namespace {

// The file of the running host program; empty when it cannot be told.
std::string hostProgramPath() {
  char host[PATH_MAX];
  const DWORD length = GetModuleFileNameA(nullptr, host, sizeof host);
  return std::string(host, length < sizeof host ? length : 0);
}

}  // namespace

std::string installedLibraryPath(const std::string& file, std::string& searched) {
  const std::string hostPath = hostProgramPath();
  const std::string hostDirectory = hostPath.substr(0, hostPath.rfind('/') + 1);
  // A build tree has the library beside the host; an installed prefix in its own directory.
  const std::string installed = std::string(kModuleDirectoryFromHost) + "/" + file;
  searched = hostDirectory + installed;
  for (const std::string& candidate : {hostDirectory + file, hostDirectory + installed})
    if (!hostDirectory.empty() && isFile(candidate)) return std::filesystem::path(candidate).lexically_normal();
  return {};
}

std::string installedModulePath(const Reports& reports) {
  std::string searched;
  std::string found = installedLibraryPath(kModuleFile, searched);
  if (found.empty()) {
    const std::string hostPath = hostProgramPath();
    const std::string hostName = hostPath.substr(hostPath.rfind('/') + 1);
    reports.failure({"the control's module is neither beside " + hostName + " nor in " + searched,
                     "el módulo del control no está junto a " + hostName + " ni en " + searched});
  }
  return found;
}

HRESULT callRegistrationEntryPoint(const std::string& modulePath, const char* entryPoint) {
  const LoadedModule module(modulePath);
  if (module.handle() == nullptr) return lastErrorResult();
  const auto call = reinterpret_cast<RegistrationEntryPoint>(GetProcAddress(module.handle(), entryPoint));
  if (call == nullptr) return lastErrorResult();
  return call();
}

std::string resultCode(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

}  // namespace tarvenholm::hosting
