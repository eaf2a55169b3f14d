#include "web/ApiHandler.h"

#include <nlohmann/json.hpp>

#include "clientserver/CommandRouter.h"
#include "common/StrUtil.h"
#include "platform/CodePage.h"
#include "web/ApiDocument.h"
#include "web/SessionStore.h"

namespace px {

namespace {

using Json = nlohmann::ordered_json;

// The name the web monitor's token reads under. A key of the configuration
// cannot start with "[", so no token of section Api can share its bucket.
const char* const kWebReader = "[web]";

const char* Title(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return status >= 500 ? "Internal Server Error" : "Request Refused";
  }
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes one path segment or query item; false for a broken
// escape or a control character in the result: neither names anything here,
// and neither may reach a log line or a statement.
bool Decode(std::string_view in, bool plusIsSpace, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += plusIsSpace && in[i] == '+' ? ' ' : in[i];
    }
  }
  return !HasControl(out);
}

using Params = std::vector<std::pair<std::string, std::string>>;

bool ParseQuery(std::string_view q, Params& out) {
  while (!q.empty()) {
    const size_t amp = q.find('&');
    const std::string_view item = q.substr(0, amp);
    q = amp == std::string_view::npos ? std::string_view() : q.substr(amp + 1);
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    std::string key, value;
    if (!Decode(item.substr(0, eq), true, key)) return false;
    if (eq != std::string_view::npos && !Decode(item.substr(eq + 1), true, value)) return false;
    out.emplace_back(std::move(key), std::move(value));
  }
  return true;
}

// The first value of a query key; null when absent.
const std::string* Param(const Params& p, const char* key) {
  for (const auto& [k, v] : p)
    if (k == key) return &v;
  return nullptr;
}

// A whole number of 1..18 digits (the cursor is an event id, the limit a count).
bool Digits(const std::string& s, std::int64_t& v) {
  if (s.empty() || s.size() > 18) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

ApiResponse JsonAnswer(int status, std::string body) {
  ApiResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// The parameters as the controller gets them: in the installations' code
// page, without a byte that would end the frame (CR), start one for another
// unit (0xD0-0xDF) or that a controller reads as a control code.
bool ParamBytes(const std::string& utf8, std::string& bytes, std::string& why) {
  bytes = Win1252::FromUtf8(utf8);
  if (Win1252::ToUtf8(bytes) != utf8) {
    why = "params hold a character outside the controllers' code page (Windows-1252).";
    return false;
  }
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == 0x7F || (c >= 0xD0 && c <= 0xDF)) {
      why = "params hold a CR, another control character or a unit address byte (0xD0-0xDF).";
      return false;
    }
  }
  return true;
}

ApiResponse NotAllowed(const char* allow) {
  ApiResponse r = ApiHandler::Problem(405, std::string("This path takes ") + allow + ".");
  r.headers.emplace_back("Allow", allow);
  return r;
}

}  // namespace

ApiHandler::ApiHandler(const ApiOptions& options, IApiBackend& backend)
    : tokens_(options.tokens), backend_(backend), rate_(options.callsPerMinute) {
  if (!options.webToken.empty()) tokens_.push_back({kWebReader, options.webToken, false});
}

ApiResponse ApiHandler::Problem(int status, const std::string& detail) {
  Json j;
  j["type"] = "about:blank";
  j["title"] = Title(status);
  j["status"] = status;
  j["detail"] = detail;
  ApiResponse r;
  r.status = status;
  r.contentType = "application/problem+json";
  r.body = j.dump();
  return r;
}

const ApiToken* ApiHandler::Caller(const std::string& authorization) const {
  // The scheme's name is not case-sensitive; the secret is.
  if (authorization.size() < 7 || LowerCase(authorization.substr(0, 7)) != "bearer ") return nullptr;
  std::string secret = authorization.substr(7);
  while (!secret.empty() && secret.front() == ' ') secret.erase(0, 1);
  while (!secret.empty() && secret.back() == ' ') secret.pop_back();
  // Every secret is compared, so the time taken does not tell which matched.
  const ApiToken* found = nullptr;
  for (const auto& t : tokens_)
    if (SessionStore::EqualConstantTime(secret, t.secret) && !found) found = &t;
  return found;
}

ApiResponse ApiHandler::Handle(const ApiRequest& req, ApiRateLimit::Clock::time_point now) {
  const ApiToken* caller = Caller(req.authorization);
  if (!caller) {
    ApiResponse r = Problem(401, "Send a token of section Api as \"Authorization: Bearer SECRET\".");
    r.headers.emplace_back("WWW-Authenticate", "Bearer");
    return r;
  }
  if (const int wait = rate_.Take(caller->name, now)) {
    ApiResponse r = Problem(429, "Too many calls with this token; try again in " + std::to_string(wait) + " s.");
    r.headers.emplace_back("Retry-After", std::to_string(wait));
    return r;
  }
  try {
    return Route(req, *caller);
  } catch (const std::exception&) {
    return Problem(500, "Internal error.");
  }
}

ApiResponse ApiHandler::Route(const ApiRequest& req, const ApiToken& caller) {
  const std::string_view target = req.target;
  const size_t mark = target.find('?');
  const std::string_view path = target.substr(0, mark);
  const std::string query(mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1));
  if (!IsApiPath(path)) return Problem(404, "No such path.");
  std::vector<std::string> seg;
  for (std::string_view rest = path.substr(kPrefix.size());;) {
    const size_t slash = rest.find('/');
    std::string s;
    if (!Decode(rest.substr(0, slash), false, s))
      return Problem(400, "The path holds a broken escape or a control character.");
    seg.push_back(std::move(s));
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  const bool get = req.method == "GET" || req.method == "HEAD";
  if (seg.size() == 1 && seg[0] == "openapi.json") {
    if (!get) return NotAllowed("GET");
    return JsonAnswer(200, std::string(ApiDocument()));
  }
  if (seg.size() == 1 && seg[0] == "units") return get ? Units() : NotAllowed("GET");
  if (seg.size() == 1 && seg[0] == "transactions") return get ? Transactions(query) : NotAllowed("GET");
  if (seg.size() == 3 && seg[0] == "units" && seg[2] == "commands")
    return req.method == "POST" ? PostCommand(seg[1], req.body, caller) : NotAllowed("POST");
  if (seg.size() == 2 && seg[0] == "commands") return get ? GetCommand(seg[1], caller) : NotAllowed("GET");
  return Problem(404, "No such path.");
}

ApiResponse ApiHandler::Units() {
  std::vector<ApiUnit> units;
  if (!backend_.Units(units)) return Problem(503, "The service is not ready; try again.");
  Json items = Json::array();
  for (const auto& u : units) {
    Json j;
    j["tag"] = TransactionEvent::Utf8(u.tag);
    j["type"] = TransactionEvent::Utf8(u.type);
    j["transport"] = u.transport;
    j["bus"] = u.transport == "serial" ? Json(u.bus) : Json(nullptr);
    j["address"] = u.transport == "serial" ? Json(nullptr) : Json(u.address);
    j["unit"] = u.unit;
    j["active"] = u.active;
    j["state"] = u.up ? "UP" : "DOWN";
    j["last_poll"] =
        u.lastPoll == std::chrono::system_clock::time_point{} ? Json(nullptr) : Json(IsoLocalTime(u.lastPoll));
    j["door_status"] = u.doorStatus.empty() ? Json(nullptr) : Json(TransactionEvent::Utf8(u.doorStatus));
    items.push_back(std::move(j));
  }
  Json out;
  out["items"] = std::move(items);
  return JsonAnswer(200, out.dump());
}

ApiResponse ApiHandler::Transactions(const std::string& query) {
  Params p;
  if (!ParseQuery(query, p)) return Problem(400, "The query holds a broken escape or a control character.");
  std::int64_t after = 0, limit = kDefaultLimit;
  if (const std::string* a = Param(p, "after"); a && !a->empty() && !Digits(*a, after))
    return Problem(400, "after must be a cursor this server gave (the id of an item, or next).");
  if (const std::string* l = Param(p, "limit"); l && (!Digits(*l, limit) || limit < 1 || limit > kMaxLimit))
    return Problem(400, "limit must be a whole number from 1 to " + std::to_string(kMaxLimit) + ".");
  const std::string* tag = Param(p, "tag");
  const std::string* card = Param(p, "card");
  std::vector<TransactionEvent> events;
  if (!backend_.Transactions(after, static_cast<int>(limit), tag ? *tag : "", card ? *card : "", events))
    return Problem(503, "The database cannot be read now; try again.");
  std::string body = "{\"items\":[";
  for (size_t i = 0; i < events.size(); ++i) body += (i ? "," : "") + events[i].Json();
  const std::int64_t next = events.empty() ? after : events.back().id;
  return JsonAnswer(200, body + "],\"next\":\"" + std::to_string(next) + "\"}");
}

ApiResponse ApiHandler::PostCommand(const std::string& tag, const std::string& body, const ApiToken& caller) {
  if (!caller.command) return Problem(403, "This token may read only; commands need the scope read,command.");
  const Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return Problem(400, "The body is not a JSON object.");
  const auto code = j.find("code");
  const auto params = j.find("params");
  if (code == j.end() || !code->is_string()) return Problem(400, "code must be a string.");
  if (params != j.end() && !params->is_string()) return Problem(400, "params must be a string.");
  const std::string c = code->get<std::string>();
  if (TCommandRouter::CommandName(c).empty()) return Problem(422, "code is not a command of the command table.");
  std::string bytes, why;
  if (!ParamBytes(params == j.end() ? std::string() : params->get<std::string>(), bytes, why)) return Problem(422, why);
  std::string id;
  switch (backend_.Command(tag, c, bytes, caller.name, id)) {
    case ApiCommandResult::Queued: {
      Json out;
      out["id"] = id;
      ApiResponse r = JsonAnswer(202, out.dump());
      r.headers.emplace_back("Location", std::string(kPrefix) + "commands/" + id);
      return r;
    }
    case ApiCommandResult::UnknownTag: return Problem(404, "No controller, terminal or point has this tag.");
    case ApiCommandResult::NotForDevice: return Problem(422, "A terminal takes only SC, AT, AC and DC.");
    case ApiCommandResult::Refused:
      return Problem(409, "The unit does not take commands now (not enabled, or its line is not open).");
    case ApiCommandResult::Busy: {
      ApiResponse r = Problem(503, "Another command is being executed; try again.");
      r.headers.emplace_back("Retry-After", "1");
      return r;
    }
    case ApiCommandResult::Unavailable: break;
  }
  return Problem(503, "The service is not ready; try again.");
}

ApiResponse ApiHandler::GetCommand(const std::string& id, const ApiToken& caller) {
  const ApiCommandStatus s = backend_.CommandStatus(id, caller.name);
  const char* status = nullptr;
  switch (s.state) {
    case ApiCommandStatus::State::Pending: status = "pending"; break;
    case ApiCommandStatus::State::Done: status = "done"; break;
    case ApiCommandStatus::State::Failed: status = "failed"; break;
    case ApiCommandStatus::State::Unknown: return Problem(404, "No command of this token has this id.");
  }
  Json out;
  out["status"] = status;
  out["reply"] = TransactionEvent::Utf8(s.reply);
  return JsonAnswer(200, out.dump());
}

}  // namespace px
