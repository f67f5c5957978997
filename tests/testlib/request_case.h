// Base fixture of the request generation tests: a fresh home, the module's
// settings as they are when it loads (but small, fast keys), Spanish
// messages, and the provider's password prompts counted and declined.
#pragma once

// OpenSSL's headers (through the crypt fixtures) come before the platform's.
#include "testlib/crypt_fixtures.h"

#include <string>
#include <vector>

#include "testlib/key_inspection.h"
#include "testlib/test_home.h"

namespace testing_support {

inline constexpr const char* kThreeNames = "2.5.4.3=Test User;2.5.4.10=Test Org;2.5.4.6=MX";

class RequestCase : public HomeTest {
 protected:
  RequestCase();
  ~RequestCase() override;

  // buildRequest with the fixture's slot.
  int build(const char* names = kThreeNames);

  // Each box as "text|caption|flags".
  std::vector<std::string> boxLines() const;

  RequestSlot slot_;
  PasswordAnswers passwords_{"", ""};
};

// How an error box of the given text is listed by boxLines().
std::string errorLine(const std::string& text);
std::string infoLine(const std::string& text);

}  // namespace testing_support
