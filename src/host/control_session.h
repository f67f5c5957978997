// What every command that calls the control needs: its apartment, a new
// control with the run's message language, and the report of a failed call.
#pragma once

#include <optional>
#include <string>

#include "host/commands.h"
#include "hosting/control_client.h"
#include "hosting/control_factory.h"

namespace tarvenholm::host {

using hosting::Apartment;
using hosting::CallOutcome;
using hosting::ControlClient;
using hosting::resultCode;
using hosting::Variant;

// A new control with the run's message language put in msgLng.
std::optional<ControlClient> openControl(const Host& host);
// Puts a property; a failure is reported.
bool put(ControlClient& control, const std::string& property, Variant value);
void reportCallFailure(const std::string& member, const CallOutcome& outcome);

}  // namespace tarvenholm::host
