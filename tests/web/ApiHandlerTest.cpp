// The REST API's request handling without a server: tokens and scopes, the
// rate, paths and query strings, bodies and the answers to each outcome.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/TestSupport.h"
#include "web/ApiDocument.h"
#include "web/ApiHandler.h"

namespace px {
namespace {

using nlohmann::json;
const auto t0 = ApiRateLimit::Clock::time_point{} + std::chrono::hours(1000);
const std::string kReader = "reader-secret-0123456789";
const std::string kWriter = "writer-secret-0123456789";
const std::string kMonitor = "monitor-token-0123456789";

// Answers what it is told and keeps what it was asked.
class FakeBackend : public IApiBackend {
 public:
  bool ready = true;
  std::vector<TransactionEvent> events;
  ApiCommandResult result = ApiCommandResult::Queued;
  ApiCommandStatus status;
  struct {
    std::int64_t after = -1;
    int limit = 0;
    std::string tag, card, code, params, who;
  } asked;

  bool Units(std::vector<ApiUnit>& out) override {
    ApiUnit u;
    u.tag = "Door01";
    u.type = "KX4100";
    u.transport = "serial";
    u.bus = 1;
    u.unit = 3;
    u.active = u.up = true;
    u.lastPoll = std::chrono::system_clock::from_time_t(1'800'000'000);
    u.doorStatus = "0A0001";
    out.push_back(u);
    return ready;
  }
  bool Transactions(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                    std::vector<TransactionEvent>& out) override {
    asked.after = after;
    asked.limit = limit;
    asked.tag = tag;
    asked.card = card;
    out = events;
    return ready;
  }
  ApiCommandResult Command(const std::string& tag, const std::string& code, const std::string& params,
                           const std::string& who, std::string& id) override {
    asked.tag = tag;
    asked.code = code;
    asked.params = params;
    asked.who = who;
    id = "7-101512345";
    return result;
  }
  ApiCommandStatus CommandStatus(const std::string&, const std::string& who) override {
    asked.who = who;
    return status;
  }
};

class ApiHandlerTest : public ::testing::Test {
 protected:
  FakeBackend backend;
  std::unique_ptr<ApiHandler> api;

  void SetUp() override { Make(600); }
  void Make(int perMinute) {
    ApiOptions o;
    o.tokens = {{"hr", kReader, false}, {"door", kWriter, true}};
    o.webToken = kMonitor;
    o.callsPerMinute = perMinute;
    api = std::make_unique<ApiHandler>(o, backend);
  }
  ApiResponse Call(const std::string& method, const std::string& target, const std::string& token = kWriter,
                   const std::string& body = "") {
    return api->Handle({method, target, token.empty() ? "" : "Bearer " + token, body}, t0);
  }
  static std::string Header(const ApiResponse& r, const std::string& name) {
    for (const auto& [n, v] : r.headers)
      if (n == name) return v;
    return "";
  }
};

// Every error is a problem document with its status in it.
void ExpectProblem(const ApiResponse& r, int status) {
  EXPECT_EQ(r.status, status) << r.body;
  EXPECT_EQ(r.contentType, "application/problem+json");
  EXPECT_EQ(json::parse(r.body).value("status", 0), status) << r.body;
}

TEST_F(ApiHandlerTest, TokensAndScopes) {
  for (const std::string& auth :
       std::vector<std::string>{"", "Bearer", "Bearer wrong-secret-0123456789", "Basic " + kReader,
                                "Bearer " + kReader + "x", "Bearer " + kReader.substr(1)}) {
    ApiResponse r = api->Handle({"GET", "/api/v1/units", auth, ""}, t0);
    ExpectProblem(r, 401);
    EXPECT_EQ(Header(r, "WWW-Authenticate"), "Bearer");
  }
  // Unknown paths too: nothing is told to a caller without a token.
  ExpectProblem(Call("GET", "/api/v1/nothing", ""), 401);
  EXPECT_EQ(api->Handle({"GET", "/api/v1/units", "bearer  " + kReader + " ", ""}, t0).status, 200);
  EXPECT_EQ(Call("GET", "/api/v1/units", kMonitor).status, 200);

  const std::string body = R"({"code":"PR","params":"05"})";
  ExpectProblem(Call("POST", "/api/v1/units/Door01/commands", kReader, body), 403);
  ExpectProblem(Call("POST", "/api/v1/units/Door01/commands", kMonitor, body), 403);
  ApiResponse ok = Call("POST", "/api/v1/units/Door01/commands", kWriter, body);
  EXPECT_EQ(ok.status, 202);
  EXPECT_EQ(json::parse(ok.body)["id"], "7-101512345");
  EXPECT_EQ(Header(ok, "Location"), "/api/v1/commands/7-101512345");
  EXPECT_EQ(backend.asked.who, "door");
  EXPECT_EQ(backend.asked.params, "05");
}

TEST_F(ApiHandlerTest, OptionsTakeOnlyUsableTokens) {
  test::CaptureLog log;
  ApiOptions o = ApiOptions::FromIni(TIniFile::FromText("[Web]\nToken=" + kMonitor +
                                                        "\nApiCallsPerMinute=30\n[Api]\n"
                                                        "HR=" +
                                                        kReader +
                                                        ":read\n"
                                                        "door=" +
                                                        kWriter +
                                                        ": command , read\n"
                                                        "short=abc:read\n"
                                                        "noscope=" +
                                                        kReader +
                                                        "1\n"
                                                        "admin=" +
                                                        kReader +
                                                        "2:read,write\n"
                                                        "twin=" +
                                                        kReader +
                                                        ":read\n"
                                                        "monitor=" +
                                                        kMonitor + ":read,command\n"),
                                     log);
  ASSERT_EQ(o.tokens.size(), 2u) << log.Dump();
  EXPECT_EQ(o.tokens[0].name, "door");
  EXPECT_TRUE(o.tokens[0].command);
  EXPECT_EQ(o.tokens[1].name, "hr");
  EXPECT_FALSE(o.tokens[1].command);
  EXPECT_EQ(o.callsPerMinute, 30);
  EXPECT_EQ(log.CountSubstr("not used"), 5);
  EXPECT_TRUE(log.HasSubstr("token monitor not used: its secret is the web monitor's token"));
  EXPECT_FALSE(log.HasSubstr(kReader));  // secrets never reach the log
}

TEST_F(ApiHandlerTest, RatePerToken) {
  Make(60);  // bursts of 6, then one a second
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Call("GET", "/api/v1/units").status, 200);
  ApiResponse r = Call("GET", "/api/v1/units");
  ExpectProblem(r, 429);
  EXPECT_EQ(Header(r, "Retry-After"), "1");
  EXPECT_EQ(Call("GET", "/api/v1/units", kReader).status, 200);  // another token, another bucket
  EXPECT_EQ(api->Handle({"GET", "/api/v1/units", "Bearer " + kWriter, ""}, t0 + std::chrono::seconds(1)).status, 200);
}

TEST_F(ApiHandlerTest, PathsAndMethods) {
  ApiResponse doc = Call("GET", "/api/v1/openapi.json");
  EXPECT_EQ(doc.body, ApiDocument());
  EXPECT_EQ(json::parse(doc.body)["openapi"], "3.1.0");
  ApiResponse r = Call("POST", "/api/v1/units");
  ExpectProblem(r, 405);
  EXPECT_EQ(Header(r, "Allow"), "GET");
  EXPECT_EQ(Header(Call("GET", "/api/v1/units/Door01/commands"), "Allow"), "POST");
  for (const char* t :
       {"/api/v1/", "/api/v1/units/", "/api/v1/commands", "/api/v1/units/A/commands/x", "/api/v2/units"})
    ExpectProblem(Call("GET", t), 404);
  for (const char* t : {"/api/v1/units/%0d%0aX/commands", "/api/v1/units/%zz/commands", "/api/v1/units/%4/commands"})
    ExpectProblem(Call("POST", t, kWriter, R"({"code":"PR"})"), 400);
  EXPECT_EQ(Call("POST", "/api/v1/units/Lobby%20door%2F2/commands", kWriter, R"({"code":"PR"})").status, 202);
  EXPECT_EQ(backend.asked.tag, "Lobby door/2");

  json units = json::parse(Call("GET", "/api/v1/units").body)["items"];
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0]["state"], "UP");
  EXPECT_EQ(units[0]["bus"], 1);
  EXPECT_TRUE(units[0]["address"].is_null());
  EXPECT_EQ(units[0]["last_poll"].get<std::string>().substr(0, 4), "2027");
  backend.ready = false;
  ExpectProblem(Call("GET", "/api/v1/units"), 503);
}

TEST_F(ApiHandlerTest, TransactionPages) {
  EXPECT_EQ(Call("GET", "/api/v1/transactions").body, R"({"items":[],"next":"0"})");
  EXPECT_EQ(backend.asked.after, 0);
  EXPECT_EQ(backend.asked.limit, ApiHandler::kDefaultLimit);
  // An empty page keeps the cursor the caller gave.
  EXPECT_EQ(json::parse(Call("GET", "/api/v1/transactions?after=0042&limit=1000").body)["next"], "42");
  EXPECT_EQ(backend.asked.limit, 1000);

  TransactionEvent e;
  e.id = 77;
  e.date = "20261209";
  e.time = "101500";
  e.tag = "Lobby";
  backend.events = {e};
  json page = json::parse(Call("GET", "/api/v1/transactions?after=5&tag=Main+door%21&card=000101&x=1").body);
  EXPECT_EQ(page["next"], "77");
  EXPECT_EQ(page["items"][0]["id"], "77");
  EXPECT_EQ(backend.asked.tag, "Main door!");
  EXPECT_EQ(backend.asked.card, "000101");
  // Code-page text that looks like an encoded surrogate is still read as the
  // code page: the JSON writer would throw on it as it is.
  backend.events[0].tag = "\xED\xA0\x80";
  page = json::parse(Call("GET", "/api/v1/transactions").body);
  EXPECT_EQ(page["items"][0]["tag"], "\xC3\xAD\xC2\xA0\xE2\x82\xAC");

  for (const char* q : {"after=-1", "after=x", "after=1234567890123456789", "limit=0", "limit=1001",
                        "limit=", "limit=5.0", "tag=%0a", "card=%"})
    ExpectProblem(Call("GET", std::string("/api/v1/transactions?") + q), 400);
  backend.ready = false;
  ExpectProblem(Call("GET", "/api/v1/transactions"), 503);
}

TEST_F(ApiHandlerTest, CommandBodiesAndOutcomes) {
  auto post = [&](const std::string& body) { return Call("POST", "/api/v1/units/Door01/commands", kWriter, body); };
  for (const char* bad : {"", "{", "[]", "\"PR\"", R"({"params":"05"})", R"({"code":5})", R"({"code":"PR","params":5})",
                          R"({"code":"PR","params":null})", "{\"code\":\"PR\",\"params\":\"\xff\"}"})
    ExpectProblem(post(bad), 400);
  for (const char* bad :
       {R"({"code":"XY"})", R"({"code":"pr"})", R"({"code":"PRX"})", R"({"code":"PR","params":"0\r5"})",
        R"({"code":"PR","params":"0\n5"})", R"({"code":"PR","params":"\u0002"})", R"({"code":"AC","params":"\u00d1"})",
        R"({"code":"AC","params":"\u0416"})"})
    ExpectProblem(post(bad), 422);
  // The parameters reach the controller in its code page.
  EXPECT_EQ(post(R"({"code":"AC","params":"000101 \u20ac"})").status, 202);
  EXPECT_EQ(backend.asked.params, "000101 \x80");

  const std::pair<ApiCommandResult, int> outcomes[] = {{ApiCommandResult::UnknownTag, 404},
                                                       {ApiCommandResult::NotForDevice, 422},
                                                       {ApiCommandResult::Refused, 409},
                                                       {ApiCommandResult::Busy, 503},
                                                       {ApiCommandResult::Unavailable, 503}};
  for (auto [result, status] : outcomes) {
    backend.result = result;
    ExpectProblem(post(R"({"code":"PR"})"), status);
  }

  ExpectProblem(Call("GET", "/api/v1/commands/7-101512345"), 404);
  backend.status = {ApiCommandStatus::State::Done, "OK05"};
  EXPECT_EQ(Call("GET", "/api/v1/commands/7-101512345").body, R"({"status":"done","reply":"OK05"})");
  EXPECT_EQ(backend.asked.who, "door");
  backend.status = {ApiCommandStatus::State::Pending, ""};
  EXPECT_EQ(json::parse(Call("GET", "/api/v1/commands/1").body)["status"], "pending");
}

}  // namespace
}  // namespace px
