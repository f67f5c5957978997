#include "bridge/messages.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarvenholm::bridge {
namespace {

// Reads exactly `size` bytes unless the input ends; how many were read.
std::size_t readFully(const ByteSource& source, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t got = source(buffer + done, size - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool isIdentifier(const Json& id) { return id.is_string() || id.is_number_integer() || id.is_null(); }

}  // namespace

FrameStatus readFrame(const ByteSource& source, std::string& body) {
  body.clear();
  std::uint32_t length = 0;
  char header[sizeof length];
  const std::size_t headerRead = readFully(source, header, sizeof header);
  if (headerRead == 0) return FrameStatus::End;
  if (headerRead < sizeof header) return FrameStatus::Truncated;
  std::memcpy(&length, header, sizeof length);
  if (length > kMaxRequestBytes) {
    // Skipped in pieces, so that the next message is read from its start.
    std::array<char, 64 * 1024> discard;
    for (std::uint64_t left = length; left > 0;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, discard.size()));
      const std::size_t got = readFully(source, discard.data(), piece);
      if (got < piece) return FrameStatus::Truncated;
      left -= got;
    }
    return FrameStatus::TooLarge;
  }
  body.resize(length);
  if (readFully(source, body.data(), length) < length) {
    body.clear();
    return FrameStatus::Truncated;
  }
  return FrameStatus::Message;
}

std::string frame(std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string framed(sizeof length, '\0');
  std::memcpy(framed.data(), &length, sizeof length);
  framed.append(body);
  return framed;
}

std::variant<Request, RequestProblem> parseRequest(std::string_view body) {
  const Json message = Json::parse(body, nullptr, false);
  if (message.is_discarded()) return RequestProblem{nullptr, "the message is not JSON text"};
  if (!message.is_object()) return RequestProblem{nullptr, "the message is not a JSON object"};
  Request request;
  if (const auto id = message.find("id"); id != message.end()) {
    if (!isIdentifier(*id)) return RequestProblem{nullptr, "\"id\" must be a string or an integer"};
    request.id = *id;
  }
  const auto problem = [&](std::string text) { return RequestProblem{request.id, std::move(text)}; };

  const auto origin = message.find("origin");
  if (origin == message.end() || !origin->is_string()) return problem("the request has no \"origin\" string");
  request.origin = origin->get<std::string>();
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return problem("the request has no \"method\" string");
  request.method = method->get<std::string>();

  if (const auto params = message.find("params"); params != message.end() && !params->is_null()) {
    if (!params->is_array()) return problem("\"params\" must be an array");
    request.params.assign(params->begin(), params->end());
  }
  if (const auto properties = message.find("properties"); properties != message.end() && !properties->is_null()) {
    if (!properties->is_object()) return problem("\"properties\" must be an object");
    for (const auto& [name, value] : properties->items()) request.properties.emplace_back(name, value);
  }
  return request;
}

std::string replyText(const Json& id, const Json& result, const std::vector<Message>& messages,
                      const std::string& error) {
  Json reply{{"id", id}, {"result", result}, {"messages", Json::array()}};
  for (const Message& message : messages)
    reply["messages"].push_back({{"kind", message.error ? "error" : "info"}, {"text", message.text}});
  if (!error.empty()) reply["error"] = error;
  // Texts that are not UTF-8 are mended rather than refused.
  std::string text = reply.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() <= kMaxReplyBytes) return text;
  const Json tooLarge{{"id", id},
                      {"result", nullptr},
                      {"messages", Json::array()},
                      {"error", "the reply is larger than a browser accepts"}};
  return tooLarge.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tarvenholm::bridge
