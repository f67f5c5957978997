// What setcert reads, turned into the text the control's setCert takes:
// base64 of a PKCS#7 certificate collection.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/console.h"

namespace tarvenholm::host {

// The bytes of FILE, or of standard input for "-"; nothing after reporting
// why they cannot be read.
std::optional<std::vector<unsigned char>> readInput(const std::string& source);

struct CertificateText {
  std::string text;
  std::optional<Message> problem;  // set when the input cannot be converted
};

// PEM text with CERTIFICATE blocks: the certificates bundled, in order, into
// a certificates-only PKCS#7 collection. A binary DER PKCS#7 collection: its
// base64. A binary DER certificate: bundled alone. Anything else is taken
// to be the text setCert takes and is handed on unchanged.
CertificateText certificateTextFor(const std::vector<unsigned char>& input);

}  // namespace tarvenholm::host
