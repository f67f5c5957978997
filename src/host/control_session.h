// What every command that calls the control needs: its apartment, a new
// control with the run's message language, and the report of a failed call.
#pragma once

#include <optional>
#include <string>

#include "host/commands.h"
#include "host/control_client.h"

namespace tarvenholm::host {

// The component-object apartment of the host's thread for the life of the object.
class Apartment {
 public:
  Apartment() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~Apartment() {
    if (initialised_) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  bool initialised_;
};

// A new control with the run's message language put in msgLng.
std::optional<ControlClient> openControl(const Host& host);
// Puts a property; a failure is reported.
bool put(ControlClient& control, const std::string& property, Variant value);
void reportCallFailure(const std::string& member, const CallOutcome& outcome);

}  // namespace tarvenholm::host
