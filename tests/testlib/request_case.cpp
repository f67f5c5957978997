#include "testlib/request_case.h"

#include "engine/request.h"
#include "engine/settings.h"
#include "support/errors.h"

namespace testing_support {

RequestCase::RequestCase() {
  tarvenholm::resetSettings();
  tarvenholm::setKeySizeSetting(512);
  tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::Spanish);
}

RequestCase::~RequestCase() {
  tarvenholm::resetSettings();
  tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::Spanish);
}

int RequestCase::build(const char* names) { return tarvenholm::buildRequest(names, slot_.out()); }

std::vector<std::string> RequestCase::boxLines() const {
  std::vector<std::string> lines;
  for (const Box& box : boxes_.boxes()) lines.push_back(box.text + "|" + box.caption + "|" + std::to_string(box.flags));
  return lines;
}

std::string errorLine(const std::string& text) { return text + "|Tarvenholm|16"; }

std::string infoLine(const std::string& text) { return text + "|Tarvenholm|64"; }

}  // namespace testing_support
