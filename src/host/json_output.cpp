#include "host/json_output.h"

#include <cstdio>

namespace tarvenholm::host {

void printJson(const Json& document) {
  const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace tarvenholm::host
