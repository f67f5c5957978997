// The browser extension's native host, as the browsers know it: its name,
// the extension allowed to start it, and the manifest that tells a browser
// where tarvenholm-bridge is.
#pragma once

#include <string>

namespace tarvenholm::hosting {

inline constexpr char kNativeHostName[] = "org.tarvenholm.bridge";
// Chromium's identifier of the extension follows from the public key in its
// manifest; Firefox's is given in its manifest.
inline constexpr char kChromiumExtensionOrigin[] = "chrome-extension://" TARVENHOLM_EXTENSION_ID "/";
inline constexpr char kFirefoxAddOnId[] = TARVENHOLM_FIREFOX_ADDON_ID;

enum class Browser { Chromium, Chrome, Firefox };

// The native host manifest for `browser`, naming the bridge at `bridgePath`.
std::string nativeHostManifest(Browser browser, const std::string& bridgePath);

// Whether a browser started the bridge for our extension: Chromium passes
// the calling extension's origin as the first argument, Firefox the path of
// the host manifest and then the add-on's identifier.
bool startedForOurExtension(int argc, const char* const* argv);

}  // namespace tarvenholm::hosting
