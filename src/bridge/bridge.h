// The bridge between one page and one control: each request of the page
// (relayed by the extension with the page's origin) becomes property puts
// and one call on the control, after the origin has been checked and, for
// what changes the user's keys and stores, the user has agreed.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/messages.h"
#include "bridge/pinentry.h"
#include "hosting/control_client.h"
#include "platform/application.h"
#include "platform/key_protection.h"

namespace tarvenholm::bridge {

// Asks the control whether it may be driven by an untrusted caller and
// initialised from untrusted data, as a browser asked before it let a page
// script the control. A control that refuses is not to be called.
bool controlIsSafeForPages(IDispatch* control);

class Bridge {
 public:
  // Takes the platform's message-box, password and root trust sinks for its lifetime.
  Bridge(hosting::ControlClient control, Pinentry pinentry);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // The reply to one message of the extension.
  std::string serve(std::string_view body);

 private:
  enum class Action { None, MakeKey, Install };
  struct Method;
  static const std::vector<Method>& methods();

  std::string call(const Request& request);
  // Whether the page at `origin` may do `action`; when not, `refusal` says why.
  bool mayAct(const std::string& origin, Action action, std::string& refusal);
  bool askPassword(platform::PasswordPurpose purpose, const char* container, std::string& password);
  // Whether the user trusts the root the calling page installs; a pinentry
  // that cannot be run says no.
  bool trustRoot(const platform::RootCertificateQuestion& root);
  void forgetNewKeyPassword();
  std::string reply(const Json& id, const Json& result, const std::string& error = {});
  bool spanish() const { return language_ == 1; }

  hosting::ControlClient control_;
  Pinentry pinentry_;
  // Origins the user allowed once: for as long as this page's connection lasts.
  std::set<std::string> allowedForSession_;
  // The message boxes of the call under way, in order.
  std::vector<Message> messages_;
  std::string callingOrigin_;
  // The container made in the call under way, and the password given for it.
  std::pair<std::string, platform::PasswordText> newKeyPassword_;
  // msgLng as the page put it; the control starts in Spanish.
  long language_ = 1;
};

}  // namespace tarvenholm::bridge
