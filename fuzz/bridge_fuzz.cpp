// The bridge's message reader on arbitrary bytes, as the browser's stream:
// frames are read until the input ends, each body is read as a request, and
// every outcome gets a reply. A frame's reader must stop at the end of the
// input, skip what is over the limit, and a reply must be JSON under the
// browser's limit that names the request's id.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>

#include "bridge/messages.h"
#include "fuzz_support.h"

namespace {

using namespace tarvenholm::bridge;
using fuzzing::check;

void checkReply(const std::string& text, const Json& id) {
  check(text.size() <= kMaxReplyBytes, "a reply over the browser's limit");
  const Json reply = Json::parse(text, nullptr, false);
  check(!reply.is_discarded() && reply.is_object(), "a reply that is not a JSON object");
  check(reply["id"] == id, "a reply without the request's id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t position = 0;
  const ByteSource source = [&](char* buffer, std::size_t wanted) {
    // Uneven pieces, as a pipe delivers them.
    std::size_t piece = std::min(wanted, size - position);
    if (piece > 1) piece = 1 + (position * 7919 + piece) % piece;
    std::memcpy(buffer, data + position, piece);
    position += piece;
    return piece;
  };
  std::string body;
  for (FrameStatus status; (status = readFrame(source, body)) != FrameStatus::End;) {
    check(position <= size, "read past the input");
    if (status == FrameStatus::Truncated) break;
    if (status == FrameStatus::TooLarge) {
      check(body.empty(), "an oversized frame kept its body");
      continue;
    }
    check(body.size() <= kMaxRequestBytes, "a frame over the limit");
    const auto parsed = parseRequest(body);
    if (const auto* problem = std::get_if<RequestProblem>(&parsed)) {
      checkReply(replyText(problem->id, nullptr, {}, problem->problem), problem->id);
    } else {
      const Request& request = std::get<Request>(parsed);
      const std::vector<Message> echoed = {{true, request.method}, {false, request.origin}};
      checkReply(replyText(request.id, request.params.empty() ? Json() : request.params.front(), echoed),
                 request.id);
    }
  }
  return 0;
}
