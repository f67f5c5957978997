// tarvenholm-bridge: the native messaging host that browsers start for the
// Tarvenholm extension. It serves one page's connection: reads the
// extension's framed requests on standard input and writes one framed reply
// each on standard output, until the browser closes the connection.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "bridge/bridge.h"
#include "hosting/control_factory.h"
#include "hosting/native_host.h"
#include "platform/unique_fd.h"

using namespace tarvenholm;

namespace {

void complain(const std::string& text) { std::fprintf(stderr, "tarvenholm-bridge: %s\n", text.c_str()); }

std::size_t readStandardInput(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool writeStandardOutput(const std::string& bytes) {
  return platform::writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  // A pinentry or a browser that has gone away must not end the bridge mid-call.
  ::signal(SIGPIPE, SIG_IGN);
  if (!hosting::startedForOurExtension(argc, argv)) {
    complain(std::string("refused: the caller \"") + (argc >= 2 ? argv[argc >= 3 ? 2 : 1] : "") +
             "\" is not the Tarvenholm extension");
    return 1;
  }

  const hosting::Apartment apartment;
  const hosting::Reports reports{[](const hosting::Message& text) { complain(text.english); },
                                 [](const hosting::Message& text) { complain(text.english); }};
  platform::ComPtr<IDispatch> control;
  const HRESULT created = hosting::createControl(control, reports);
  if (FAILED(created)) {
    complain("cannot create the control (" + hosting::resultCode(created) + ")");
    return 1;
  }
  if (!bridge::controlIsSafeForPages(control.get())) {
    complain("the control does not say it is safe for pages; it is not called");
    return 1;
  }
  bridge::Bridge bridge(hosting::ControlClient(std::move(control)),
                        bridge::Pinentry(bridge::Pinentry::configuredProgram()));

  const bridge::ByteSource input = readStandardInput;
  std::string body;
  for (;;) {
    std::string reply;
    switch (bridge::readFrame(input, body)) {
      case bridge::FrameStatus::End:
        return 0;
      case bridge::FrameStatus::Truncated:
        complain("the browser's message ended early");
        return 1;
      case bridge::FrameStatus::TooLarge:
        reply = bridge::replyText(nullptr, nullptr, {}, "the request is larger than 1 MiB");
        break;
      case bridge::FrameStatus::Message:
        reply = bridge.serve(body);
        break;
    }
    if (!writeStandardOutput(bridge::frame(reply))) return 1;
  }
}
