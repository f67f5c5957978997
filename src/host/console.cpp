#include "host/console.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/application.h"
#include "platform/home.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

// The bits of a box's flags that choose its icon.
constexpr UINT kIconBits = 0xF0;

Language currentLanguage = Language::English;

// A box's text on one line: every run of line breaks becomes one space.
std::string oneLine(const char* text) {
  std::string line;
  bool inBreak = false;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at == '\r' || *at == '\n') {
      inBreak = true;
      continue;
    }
    if (inBreak && !line.empty()) line += ' ';
    inBreak = false;
    line += *at;
  }
  return line;
}

void writeHostLine(const Message& message) {
  std::fprintf(stderr, "tarvenholm: %s\n", inHostLanguage(message).c_str());
  std::fflush(stderr);
}

std::optional<mode_t> fileType(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_mode & S_IFMT;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

struct Cause {
  DWORD error;
  const char* english;
  const char* spanish;
};

// Causes that read the same for every file.
constexpr Cause kCauses[] = {
    {ERROR_DIRECTORY, "it is a folder", "es una carpeta"},
    {ERROR_STOPPED_ON_SYMLINK, "it is a symbolic link", "es un enlace simbólico"},
    {ERROR_ACCESS_DENIED, "permission denied", "permiso denegado"},
    {ERROR_INVALID_OWNER, "it belongs to another user", "pertenece a otro usuario"},
    {ERROR_INVALID_SECURITY_DESCR, "other users may write it", "otros usuarios pueden escribir en él"},
    {ERROR_FILENAME_EXCED_RANGE, "the path is too long", "la ruta es demasiado larga"},
    {ERROR_DISK_FULL, "no space left on the device", "no queda espacio en el dispositivo"},
    {ERROR_REVISION_MISMATCH, "a newer version of tarvenholm wrote it",
     "lo escribió una versión más reciente de tarvenholm"},
    {ERROR_BADDB, "it is damaged or not a hive", "está dañado o no es un registro"},
};

// Why the file could not be used, in words a user can act on.
Message causeInWords(const platform::StateFailure& failure) {
  for (const Cause& cause : kCauses)
    if (cause.error == failure.error) return {cause.english, cause.spanish};
  if (failure.error == ERROR_FILE_NOT_FOUND || failure.error == ERROR_PATH_NOT_FOUND) {
    const std::string folder = folderOf(failure.path);
    if (fileType(folder) != S_IFDIR)
      return {"the folder " + folder + " does not exist", "la carpeta " + folder + " no existe"};
    return {"it does not exist", "no existe"};
  }
  if (failure.error == ERROR_BAD_FILE_TYPE) {
    const std::optional<mode_t> type = fileType(failure.path);
    if (type == S_IFCHR || type == S_IFBLK) return {"it is a device, not a file", "es un dispositivo, no un archivo"};
    return {"it is not a regular file", "no es un archivo regular"};
  }
  const std::string text = platformErrorText(failure.error);
  return {text, text};
}

Message stateFailureMessage(const platform::StateFailure& failure) {
  const Message cause = causeInWords(failure);
  Message file{failure.path, failure.path};
  bool hive = true;
  if (failure.path == platform::machineHivePath()) {
    file = {"the machine hive " + failure.path, "el registro de la máquina " + failure.path};
  } else if (failure.path == platform::userHivePath()) {
    file = {"the user hive " + failure.path, "el registro del usuario " + failure.path};
  } else {
    hive = false;
    if (failure.path == platform::homeDirectory())
      file = {"the home " + failure.path, "la carpeta de datos " + failure.path};
  }
  const Message verb = failure.writing ? Message{"cannot write to ", "no se pudo escribir en "}
                       : hive          ? Message{"cannot open ", "no se pudo abrir "}
                                       : Message{"cannot use ", "no se pudo usar "};
  return {verb.english + file.english + ": " + cause.english, verb.spanish + file.spanish + ": " + cause.spanish};
}

}  // namespace

void showMessageBoxesOnStandardError(bool quiet) {
  platform::setMessageBoxSink([quiet](const char* text, const char*, UINT flags) {
    const bool information = (flags & kIconBits) == MB_ICONINFORMATION;
    if (quiet && information) return IDOK;
    const char* kind = information ? "info" : "error";
    std::fprintf(stderr, "Tarvenholm [%s] %s\n", kind, oneLine(text != nullptr ? text : "").c_str());
    std::fflush(stderr);
    return IDOK;
  });
}

void setHostLanguage(Language language) { currentLanguage = language; }
Language hostLanguage() { return currentLanguage; }

const std::string& inHostLanguage(const Message& message) {
  return currentLanguage == Language::Spanish ? message.spanish : message.english;
}

void reportFailure(const Message& message) { writeHostLine(message); }

void reportPlatformFailure(const Message& message) {
  if (reportStateFailure()) return;
  const std::string reason = platformErrorText(GetLastError());
  writeHostLine({message.english + ": " + reason, message.spanish + ": " + reason});
}

void reportNotice(const Message& message) { writeHostLine(message); }

bool reportStateFailure() {
  static std::optional<platform::StateFailure> shown;
  const std::optional<platform::StateFailure> failure = platform::lastStateFailure();
  if (!failure) return false;
  if (!shown || shown->path != failure->path || shown->error != failure->error || shown->writing != failure->writing) {
    writeHostLine(stateFailureMessage(*failure));
    shown = failure;
  }
  return true;
}

bool writeStandardOutput(const void* bytes, std::size_t size) {
  return std::fwrite(bytes, 1, size, stdout) == size && std::fflush(stdout) == 0;
}

std::string systemErrorText(int error) { return std::strerror(error); }

std::string platformErrorText(unsigned long error) {
  char text[512];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lX", error);
  if (length == 0) return std::string("error ") + number;
  return oneLine(text) + " (" + number + ")";
}

hosting::Reports consoleReports(bool quiet) {
  // The control cannot be registered or created when the home or a hive
  // cannot be used: that is the one line to show.
  const auto failure = [](const Message& message) {
    if (!reportStateFailure()) reportFailure(message);
  };
  if (quiet) return {failure, [](const Message&) {}};
  return {failure, reportNotice};
}

}  // namespace tarvenholm::host
