#include "platform/application.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {
namespace {

struct Sinks {
  std::mutex mutex;
  MessageBoxSink messageBox;
  PasswordSink password;
  RootTrustSink rootTrust;
};

Sinks& sinks() {
  static Sinks s;
  return s;
}

int defaultMessageBox(const char* text, const char*, UINT flags) {
  const char* kind = (flags & MB_ICONINFORMATION) == MB_ICONINFORMATION ? "info" : "error";
  std::fprintf(stderr, "Tarvenholm [%s] %s\n", kind, text);
  return IDOK;
}

}  // namespace

void setMessageBoxSink(MessageBoxSink sink) {
  std::lock_guard<std::mutex> lock(sinks().mutex);
  sinks().messageBox = std::move(sink);
}

void setPasswordSink(PasswordSink sink) {
  std::lock_guard<std::mutex> lock(sinks().mutex);
  sinks().password = std::move(sink);
}

void setRootTrustSink(RootTrustSink sink) {
  std::lock_guard<std::mutex> lock(sinks().mutex);
  sinks().rootTrust = std::move(sink);
}

int applicationMessageBox(const char* text, const char* caption, UINT flags) {
  MessageBoxSink sink;
  {
    std::lock_guard<std::mutex> lock(sinks().mutex);
    sink = sinks().messageBox;
  }
  // The sink runs outside the lock: a box may call back into the platform.
  return sink ? sink(text, caption, flags) : defaultMessageBox(text, caption, flags);
}

bool askPassword(PasswordPurpose purpose, const char* container, std::string& password) {
  password.clear();
  PasswordSink sink;
  {
    std::lock_guard<std::mutex> lock(sinks().mutex);
    sink = sinks().password;
  }
  return sink ? sink(purpose, container, password) : false;
}

bool askToTrustRoot(const RootCertificateQuestion& question) {
  RootTrustSink sink;
  {
    std::lock_guard<std::mutex> lock(sinks().mutex);
    sink = sinks().rootTrust;
  }
  return sink && sink(question);
}

}  // namespace platform
