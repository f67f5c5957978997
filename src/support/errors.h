// Result codes of the engine operations, their English and Spanish texts,
// the module-wide message language, and the ways a failure is shown to the
// user: a message box with our own text, or with the system's text for the
// thread's last platform error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvenholm {

inline constexpr int kSuccess = 2000;

// Failure codes. The two without a text of their own (-11, -7) look up the
// fallback text like any unknown code.
inline constexpr int kInvalidProviderName = -28;
inline constexpr int kInvalidName = -27;
inline constexpr int kEmptyNames = -26;
inline constexpr int kCreateContainerFailed = -25;
inline constexpr int kGenerateKeyPairFailed = -24;
inline constexpr int kDestroyKeyFailed = -23;
inline constexpr int kReleaseProviderFailed = -22;
inline constexpr int kEncodeNameSizeFailed = -21;
inline constexpr int kEncodeNameFailed = -20;
inline constexpr int kExportPublicKeySizeFailed = -19;
inline constexpr int kNoMemoryForPublicKey = -18;
inline constexpr int kExportPublicKeyFailed = -17;
inline constexpr int kSignRequestSizeFailed = -16;
inline constexpr int kNoMemoryForRequest = -15;
inline constexpr int kSignRequestFailed = -14;
inline constexpr int kNoMemoryForBase64Request = -13;
inline constexpr int kBase64EncodeFailed = -12;
inline constexpr int kNoNameList = -11;
inline constexpr int kEmptyCertificate = -10;
inline constexpr int kOpenCollectionFailed = -9;
inline constexpr int kOpenStoreFailed = -8;
inline constexpr int kAddCertificateFailed = -7;
inline constexpr int kNoMemoryForCertificate = -6;
inline constexpr int kInvalidKeySize = -5;
inline constexpr int kHashFailed = -4;
inline constexpr int kBindCertificateFailed = -3;
inline constexpr int kKeyRecordIncomplete = -2;
inline constexpr int kNoKeyRecord = -1;

inline constexpr const char* kMessageBoxTitle = "Tarvenholm";

// The language of every message the module shows; Spanish when it loads.
// Used from the host's one apartment thread only, like the control.
enum class MessageLanguage { English, Spanish };

MessageLanguage messageLanguage();
void setMessageLanguage(MessageLanguage language);
// The control's msgLng property: 1 selects Spanish, every other value English.
void setMessageLanguageFromProperty(std::int32_t value);

// Picks the text of the current language.
const char* localized(const char* english, const char* spanish);

// Zero-fills the first `size` bytes of `buffer`, copies the text of `code`
// (taken as a signed 8-bit number) in the current language into it, cut to
// fit with its terminating zero, and returns `buffer`.
char* errorText(char* buffer, std::size_t size, int code);

// The module's one message buffer, into which every lookup writes.
inline constexpr std::size_t kMessageBufferSize = 250;
char* messageBuffer();

// Reports a failed platform call: the system's text for the thread's last
// error when it has one, else `text`, in an error box.
void showSystemError(const char* text);

// Modal boxes titled "Tarvenholm": error icon (16) and information icon (64).
void showErrorBox(const char* text);
void showInfoBox(const char* text);

}  // namespace tarvenholm
