// What the host writes on standard error: the control's message boxes, one
// line each, and the host's own failures, in the language of the run.
#pragma once

#include <cstddef>
#include <string>

#include "host/arguments.h"
#include "hosting/control_factory.h"

namespace tarvenholm::host {

// Each message box becomes "Tarvenholm [error] TEXT" (error icon) or
// "Tarvenholm [info] TEXT" on standard error; `quiet` drops the information
// lines, never an error.
void showMessageBoxesOnStandardError(bool quiet);

// The language of the host's own messages (and of the control's, which the
// host puts in msgLng).
void setHostLanguage(Language language);
Language hostLanguage();

// A text of the host's own, in both languages.
using Message = hosting::Message;

// Failures and notices on the way to the control, on standard error;
// `quiet` drops the notices.
hosting::Reports consoleReports(bool quiet);

// The text of the run's language.
const std::string& inHostLanguage(const Message& message);

// "tarvenholm: TEXT" on standard error, in the language of the run.
void reportFailure(const Message& message);
// The same, followed by ": " and the platform's text for the thread's last error.
void reportPlatformFailure(const Message& message);
// The same for something the user is told that is not a failure.
void reportNotice(const Message& message);

// When a file of the user's state (the home, a hive) could not be used,
// one line naming it and the cause in words ("cannot open the machine hive
// /x: it is a folder"), once per failure; false when there was none. A
// failure that only echoes the platform's status reports this instead.
bool reportStateFailure();

// Writes the bytes to standard output and flushes it; false when that fails.
bool writeStandardOutput(const void* bytes, std::size_t size);

// The text of an errno value.
std::string systemErrorText(int error);

// The platform's text for one of its error numbers (GetLastError), with the
// number: "Bad key state. (0x8009000B)".
std::string platformErrorText(unsigned long error);

}  // namespace tarvenholm::host
