// The application object: modal message boxes and the provider's password
// prompt, shown through a replaceable sink. The command-line host writes
// boxes to standard error and asks passwords on the terminal; tests record
// what is shown and answer at once.
#pragma once

#include <functional>
#include <string>

#include "platform/wintypes.h"

#define MB_OK 0x00000000L
#define MB_ICONERROR 0x00000010L
#define MB_ICONHAND MB_ICONERROR
#define MB_ICONINFORMATION 0x00000040L
#define IDOK 1

namespace platform {

using MessageBoxSink = std::function<int(const char* text, const char* caption, UINT flags)>;

// What the provider asks the user for a key's password.
enum class PasswordPurpose {
  NewKey,   // a new user-protected key: an optional password to protect it
  UseKey,   // signing or exporting with a protected key
};

// Returns false when the user gives no password (cancels); `password` is then
// left empty. For NewKey, no password means the key is stored unencrypted.
using PasswordSink = std::function<bool(PasswordPurpose purpose, const char* container, std::string& password)>;

// Installs a sink; an empty function restores the default (standard error,
// no password).
void setMessageBoxSink(MessageBoxSink sink);
void setPasswordSink(PasswordSink sink);

// Shows a modal box and returns when it is closed.
int applicationMessageBox(const char* text, const char* caption, UINT flags);

// Asks the user through the password sink.
bool askPassword(PasswordPurpose purpose, const char* container, std::string& password);

}  // namespace platform
