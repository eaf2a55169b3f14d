#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/ApiBackend.h"
#include "web/ApiOptions.h"
#include "web/ApiRateLimit.h"

namespace px {

// A request to the REST API as the web server hands it over.
struct ApiRequest {
  std::string method;
  std::string target;         // path and query as sent, not yet decoded
  std::string authorization;  // the Authorization header
  std::string body;
};

struct ApiResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// The REST API under /api/v1: tokens and their scopes, the per-token rate,
// the parsing of paths, query strings and bodies, and the answers, with
// every error as application/problem+json. The service's state comes from
// the backend. Safe from any thread (the backend's calls are its own affair).
//
// Routes: GET openapi.json, GET units, GET transactions?after&limit&tag&card,
// POST units/{tag}/commands {"code","params"}, GET commands/{id}.
class ApiHandler {
 public:
  static constexpr std::string_view kPrefix = "/api/v1/";
  static constexpr int kDefaultLimit = 100;
  static constexpr int kMaxLimit = 1000;

  ApiHandler(const ApiOptions& options, IApiBackend& backend);

  ApiResponse Handle(const ApiRequest& req, ApiRateLimit::Clock::time_point now);

  // Whether a decoded request path belongs to the API.
  static bool IsApiPath(std::string_view path) { return path.substr(0, kPrefix.size()) == kPrefix; }
  // {"type","title","status","detail"} as application/problem+json.
  static ApiResponse Problem(int status, const std::string& detail);

 private:
  // The caller of this Authorization header; null when none matches.
  const ApiToken* Caller(const std::string& authorization) const;
  ApiResponse Route(const ApiRequest& req, const ApiToken& caller);
  ApiResponse Units();
  ApiResponse Transactions(const std::string& query);
  ApiResponse PostCommand(const std::string& tag, const std::string& body, const ApiToken& caller);
  ApiResponse GetCommand(const std::string& id, const ApiToken& caller);

  std::vector<ApiToken> tokens_;  // the web monitor's, as a reader, last
  IApiBackend& backend_;
  ApiRateLimit rate_;
};

}  // namespace px
