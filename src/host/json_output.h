// The --json form of the listing commands: one JSON document on standard
// output, field names as docs/host.md lists them.
#pragma once

#include <nlohmann/json.hpp>

namespace tarvenholm::host {

// Fields in the order they are put.
using Json = nlohmann::ordered_json;

// Indented by two spaces, then a newline. Bytes that are not UTF-8 (a
// subject may hold any) become U+FFFD rather than ending the command.
void printJson(const Json& document);

}  // namespace tarvenholm::host
