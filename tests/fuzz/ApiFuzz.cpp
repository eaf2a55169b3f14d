#include "ApiFuzz.h"

#include <nlohmann/json.hpp>
#include <string_view>

#include "web/ApiHandler.h"

namespace px::fuzz {

namespace {

const char* const kReader = "reader-secret-0123456789";
const char* const kWriter = "writer-secret-0123456789";

bool Controls(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// Echoes what it is asked into its answers, so that any text a caller sends
// comes back through the JSON writers; records what must never reach it.
class EchoBackend : public IApiBackend {
 public:
  std::string broken;
  int calls = 0;

  bool Units(std::vector<ApiUnit>& out) override {
    ApiUnit u;
    u.tag = "T\xe9rminal \x81\"\\";
    u.transport = ++calls % 2 ? "serial" : "ip";
    u.lastPoll = std::chrono::system_clock::time_point{} + std::chrono::seconds(calls);
    u.doorStatus = "\xff";
    out.push_back(u);
    return calls % 5 != 0;
  }
  bool Transactions(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                    std::vector<TransactionEvent>& out) override {
    if (limit < 1 || limit > ApiHandler::kMaxLimit || after < 0) broken = "page bounds passed on";
    if (Controls(tag) || Controls(card)) broken = "control character passed on in a filter";
    TransactionEvent e;
    e.id = after + 1;
    e.tag = tag;
    e.card = card;
    e.date = card;
    e.time = tag;
    out.assign(static_cast<size_t>(std::min(limit, 3)), e);
    return ++calls % 7 != 0;
  }
  ApiCommandResult Command(const std::string& tag, const std::string& code, const std::string& params,
                           const std::string&, std::string& id) override {
    for (unsigned char c : params)
      if (c == '\r' || (c >= 0xD0 && c <= 0xDF)) broken = "frame byte passed on in params";
    if (Controls(tag)) broken = "control character passed on in a tag";
    id = tag + code;
    return static_cast<ApiCommandResult>(++calls % 6);
  }
  ApiCommandStatus CommandStatus(const std::string& id, const std::string&) override {
    return {static_cast<ApiCommandStatus::State>(++calls % 4), id};
  }
};

}  // namespace

std::string CheckApiRequest(const uint8_t* data, size_t size) {
  if (size < 2) return "";
  static const char* const kMethods[] = {"GET", "POST", "HEAD", "PUT", "DELETE", "PATCH", "OPTIONS", "get"};
  static const char* const kTokens[] = {"", kReader, kWriter, "x"};
  const std::string_view in(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t nl = in.find('\n');
  ApiRequest req;
  req.method = kMethods[data[0] % 8];
  req.target = std::string(data[0] & 0x80 ? ApiHandler::kPrefix : "") + std::string(in.substr(0, nl));
  const char* token = kTokens[data[1] % 4];
  req.authorization = data[1] & 0x80 ? token : std::string("Bearer ") + token;
  req.body = nl == std::string_view::npos ? std::string() : std::string(in.substr(nl + 1));

  EchoBackend backend;
  ApiOptions o;
  o.tokens = {{"hr", kReader, false}, {"door", kWriter, true}};
  o.callsPerMinute = 1000000;
  ApiHandler api(o, backend);
  const ApiResponse r = api.Handle(req, ApiRateLimit::Clock::now());

  if (!backend.broken.empty()) return backend.broken;
  const bool valid = !(data[1] & 0x80) && data[1] % 4 != 0 && data[1] % 4 != 3;
  if (valid == (r.status == 401)) return "401 for a valid token or none for an invalid one";
  if (r.status == 500) return "a request made the handler throw";
  if (r.status == 202 && (data[1] % 4 != 2 || req.method != "POST")) return "a command accepted without its scope";
  if ((r.status >= 400) != (r.contentType == "application/problem+json")) return "error without a problem document";
  const nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
  if (j.is_discarded()) return "answer is not JSON: " + r.body.substr(0, 200);
  if (r.status >= 400 && (!j.is_object() || j.value("status", 0) != r.status)) return "problem without its status";
  if (r.status == 200 && j.is_object() && j.contains("next")) {
    const std::string next = j["next"].get<std::string>();
    if (next.empty() || next.find_first_not_of("0123456789") != std::string::npos) return "next is not a cursor";
    if (j["items"].size() > static_cast<size_t>(ApiHandler::kMaxLimit)) return "page over the limit";
  }
  return "";
}

}  // namespace px::fuzz
