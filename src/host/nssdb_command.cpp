// nssdb add: registers the PKCS#11 module in an NSS database (the one
// Chromium reads by default) with NSS's own tools, certutil and modutil.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "host/commands.h"
#include "host/console.h"
#include "hosting/control_factory.h"

namespace tarvenholm::host {
namespace {

constexpr char kPkcs11ModuleFile[] = "libtarvenholm-pkcs11.so";
constexpr char kNssModuleName[] = "Tarvenholm";

// Runs a program, its output dropped, its standard error the host's unless
// `dropErrors`. True when it exits with status 0.
bool runProgram(const std::vector<std::string>& arguments, bool dropErrors = false) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      if (dropErrors) dup2(null, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string defaultDatabase() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.pki/nssdb";
}

}  // namespace

int runNssdbAdd(Host&, const CommandLine& line) {
  const std::string directory = line.has("--dbdir") ? *line.option("--dbdir") : defaultDatabase();
  std::string searched;
  const std::string module = hosting::installedLibraryPath(kPkcs11ModuleFile, searched);
  if (module.empty()) {
    reportFailure({"the PKCS#11 module is neither beside tarvenholm nor in " + searched,
                   "el módulo PKCS#11 no está junto a tarvenholm ni en " + searched});
    return kExitFailure;
  }
  const std::string database = "sql:" + directory;
  if (!std::filesystem::exists(directory + "/cert9.db")) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error || ::chmod(directory.c_str(), 0700) != 0 ||
        !runProgram({"certutil", "-N", "-d", database, "--empty-password"})) {
      reportFailure({"cannot create the NSS database in " + directory + " (certutil -N)",
                     "no se pudo crear la base de datos NSS en " + directory + " (certutil -N)"});
      return kExitFailure;
    }
  }
  if (runProgram({"modutil", "-list", kNssModuleName, "-dbdir", database}, true)) {
    reportNotice({"the module is already in " + directory, "el módulo ya está en " + directory});
    return kExitSuccess;
  }
  if (!runProgram({"modutil", "-force", "-add", kNssModuleName, "-libfile", module, "-dbdir", database})) {
    reportFailure({"modutil could not add the module to " + directory,
                   "modutil no pudo añadir el módulo a " + directory});
    return kExitFailure;
  }
  reportNotice({"added " + module + " to the NSS database " + directory,
                "se añadió " + module + " a la base de datos NSS " + directory});
  return kExitSuccess;
}

}  // namespace tarvenholm::host
