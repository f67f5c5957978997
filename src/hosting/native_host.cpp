#include "hosting/native_host.h"

#include <string_view>

namespace tarvenholm::hosting {
namespace {

// The JSON string of a path: quotes and backslashes escaped, control
// characters as \u escapes.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[(c >> 4) & 0xF];
      out += hex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string nativeHostManifest(Browser browser, const std::string& bridgePath) {
  const std::string allowed = browser == Browser::Firefox
                                  ? "  \"allowed_extensions\": [\"" + std::string(kFirefoxAddOnId) + "\"]\n"
                                  : "  \"allowed_origins\": [\"" + std::string(kChromiumExtensionOrigin) + "\"]\n";
  return "{\n"
         "  \"name\": \"" + std::string(kNativeHostName) + "\",\n"
         "  \"description\": \"Tarvenholm: key generation and certificate enrolment for web pages\",\n"
         "  \"path\": " + jsonString(bridgePath) + ",\n"
         "  \"type\": \"stdio\",\n" +
         allowed + "}\n";
}

bool startedForOurExtension(int argc, const char* const* argv) {
  if (argc >= 2 && std::string_view(argv[1]).starts_with("chrome-extension://"))
    return argv[1] == std::string_view(kChromiumExtensionOrigin);
  return argc >= 3 && argv[2] == std::string_view(kFirefoxAddOnId);
}

}  // namespace tarvenholm::hosting
