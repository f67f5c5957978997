// Build tool: writes the control's type library, in the serialised form the
// module embeds, to the file named on the command line.
#include <cstdio>

#include "control/typelibrary.h"
#include "platform/lasterror.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.tlb\n", argv[0]);
    return 2;
  }
  const DWORD written = platform::writeTypeLibFile(argv[1], *tarvenholm::tarvenholmLibraryModel());
  if (written != ERROR_SUCCESS) {
    std::fprintf(stderr, "%s: cannot write %s (error %lu)\n", argv[0], argv[1], static_cast<unsigned long>(written));
    return 1;
  }
  return 0;
}
