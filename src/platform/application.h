// The application object: modal message boxes, the provider's password
// prompt and the question before a new root is trusted, shown through
// replaceable sinks. The command-line host writes boxes to standard error and
// asks on the terminal; tests record what is shown and answer at once.
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

// A certificate about to be added to the user's ROOT store, as the user is
// shown it before deciding whether to trust it. Every certificate that store
// trusts from then on is one the user said Yes to.
struct RootCertificateQuestion {
  std::string subject;    // RFC 2253, as `openssl x509 -nameopt RFC2253` prints it
  std::string issuer;     // the same as the subject: only self-signed roots are asked about
  std::string notBefore;  // "2026-12-09 05:00:00 UTC"
  std::string notAfter;
  std::string sha1;    // SHA-1 fingerprint of the DER, 40 upper-case hexadecimal digits
  std::string sha256;  // SHA-256 fingerprint, 64 digits
};

// Asks the user whether to add the root (Yes: true). Each host answers it its
// own way: the command line on its terminal or by its options, the browser
// bridge through pinentry, tests at once. It may run on any thread of the
// process, with no platform lock held. Without a sink every root is refused.
using RootTrustSink = std::function<bool(const RootCertificateQuestion& question)>;

// Installs a sink; an empty function restores the default (standard error,
// no password, no new roots).
void setMessageBoxSink(MessageBoxSink sink);
void setPasswordSink(PasswordSink sink);
void setRootTrustSink(RootTrustSink sink);

// Shows a modal box and returns when it is closed.
int applicationMessageBox(const char* text, const char* caption, UINT flags);

// Asks the user through the password sink.
bool askPassword(PasswordPurpose purpose, const char* container, std::string& password);

// Asks the user through the root trust sink.
bool askToTrustRoot(const RootCertificateQuestion& question);

}  // namespace platform
