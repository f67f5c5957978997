#include "host/console.h"

#include <cstdio>
#include <cstring>

#include "platform/application.h"
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
  const std::string reason = platformErrorText(GetLastError());
  writeHostLine({message.english + ": " + reason, message.spanish + ": " + reason});
}

void reportNotice(const Message& message) { writeHostLine(message); }

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
  if (quiet) return {reportFailure, [](const Message&) {}};
  return {reportFailure, reportNotice};
}

}  // namespace tarvenholm::host
