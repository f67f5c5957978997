// The browser's native messaging framing and the bridge's requests and
// replies. Each message is a 32-bit length in the machine's byte order, then
// that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvenholm::bridge {

// Objects keep their members in the order they came, as pages set properties.
using Json = nlohmann::ordered_json;

// Requests larger than this are refused; the browser sends pages' calls,
// which are at most a request's names or an authority's certificates.
inline constexpr std::uint32_t kMaxRequestBytes = 1024 * 1024;
// Browsers drop a native host's message of 1 MB or more.
inline constexpr std::size_t kMaxReplyBytes = 1000 * 1000 - 1;

// Reads up to `size` bytes into `buffer`; 0 at the end of the input.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

enum class FrameStatus {
  Message,    // a whole message was read
  End,        // the input ended between messages
  Truncated,  // the input ended inside a message
  TooLarge,   // the message was longer than kMaxRequestBytes; it was skipped
};

// Reads the next framed message into `body`.
FrameStatus readFrame(const ByteSource& source, std::string& body);

// The framed form of a message.
std::string frame(std::string_view body);

// One call of a page: a member of the control with its arguments, after the
// properties to put first, in the order the page set them.
struct Request {
  Json id;
  std::string origin;  // the calling page, as the extension took it from the browser
  std::string method;
  std::vector<Json> params;
  std::vector<std::pair<std::string, Json>> properties;
};

// A message that is not a request; `id` is the request's when it had one.
struct RequestProblem {
  Json id;
  std::string problem;
};

std::variant<Request, RequestProblem> parseRequest(std::string_view body);

struct Message {
  bool error;
  std::string text;
};

// The reply to a request, as JSON text below kMaxReplyBytes: a reply that
// would be larger becomes an error reply saying so.
std::string replyText(const Json& id, const Json& result, const std::vector<Message>& messages,
                      const std::string& error = {});

}  // namespace tarvenholm::bridge
