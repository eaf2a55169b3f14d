// The REST API served by the web monitor against a real database (SQLite
// and PostgreSQL), the registry and the client protocol, with the loop on
// its own thread as in the service: paging while rows are stored, commands
// routed and audited as a workstation's, their replies, and the errors the
// server itself makes.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "clientserver/ClientProtocol.h"
#include "common/Format.h"
#include "engine/NullEngine.h"
#include "events/TransactionEvent.h"
#include "platform/EventLoop.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "support/DbTestEnv.h"
#include "web/WebServer.h"
#include "zk/ZkApi.h"

namespace px {
namespace {

using nlohmann::json;
const std::string kReader = "reader-secret-0123456789";
const std::string kWriter = "writer-secret-0123456789";

// Queues every command with an ID of its own; bus 2 is not open.
class CountingEngine : public NullEngine {
 public:
  std::vector<std::string> commands;
  int SendCommand(const std::string& name, int bus, int unit, std::string& id, const std::string& params,
                  const std::string& ip) override {
    if (bus == 2) return 1;
    commands.push_back(name + " " + std::to_string(bus) + " " + std::to_string(unit) + " " + params + " " + ip);
    id = Format("%9.9d", static_cast<int>(commands.size()));
    return 0;
  }
};

class QueueOnlyZk : public IZKModule {
 public:
  std::vector<std::string> kinds;
  bool SendQPut(const std::string&, const std::string&, std::string& id, const std::string&, const std::string&,
                const std::string&, const std::string& kind, const std::string&) override {
    kinds.push_back(kind);
    id = "Z" + std::to_string(kinds.size());
    return true;
  }
  bool SendQGet(ZkCommand&) override { return false; }
  bool Send(const ZkCommand&, int&) override { return false; }
  bool GetTransactions(int, const std::string&, const std::string&, bool&) override { return false; }
  void SetMachineNumber(int) override {}
  void SetRedirectId(const std::string&) override {}
  bool UploadAll(const std::string&, int) override { return false; }
  bool UploadOne(const std::string&, int, const std::string&) override { return false; }
};

class ApiServiceTest : public test::DbTest {
 protected:
  EventLoop loop;
  std::thread loopThread;
  test::CaptureLog log;
  ServiceSettings settings;
  std::unique_ptr<ServiceDb> db;
  std::unique_ptr<ControllerRegistry> registry;
  std::unique_ptr<TClientProtocol> client;
  CountingEngine engine;
  QueueOnlyZk zk;
  ServiceContext ctx;
  std::unique_ptr<WebServer> web;

  void SetUp() override {
    DbTest::SetUp();
    settings.AppDir = Db().Dir().Path() + "/";
    settings.DbOstrPro = settings.DbOstrTimeSQL = Db().ConnectionString();
    ctx.clock = SystemClock::Instance();
    db = std::make_unique<ServiceDb>(settings, log, ctx.clock);
    ASSERT_TRUE(db->SQLDB_Connect(false)) << log.Dump();
    registry = std::make_unique<ControllerRegistry>(settings, *db, log);
    Unit("Door01", 1, "");
    Unit("Door17", 17, "");  // bus 2, not open
    Unit("Lift", 5, "127000000002");
    Unit("Lobby F7", 3, "192168001030", "KXF7");
    ZKCtrlRec z;
    z.TagName = "Lobby F7";
    z.Active = true;
    registry->ZKList().push_back(z);
    ctx.loop = &loop;
    ctx.db = db.get();
    ctx.settings = &settings;
    ctx.registry = registry.get();
    ctx.engine = &engine;
    ctx.zk = &zk;
    client = std::make_unique<TClientProtocol>(ctx, log);
    ctx.client = client.get();
    loopThread = std::thread([this] { loop.Run(); });
    WebOptions o;
    o.anyPort = true;
    ApiOptions api;
    api.tokens = {{"hr", kReader, false}, {"door", kWriter, true}};
    api.callsPerMinute = 100000;
    web = std::make_unique<WebServer>(loop, ctx, log, o, api);
    ASSERT_TRUE(web->Start()) << log.Dump();
  }
  void TearDown() override {
    web->Stop();
    loop.Stop();
    loopThread.join();
    web.reset();
    client.reset();
    db.reset();
    DbTest::TearDown();
  }
  void Unit(const std::string& tag, int point, const std::string& ip, const std::string& type = "KX4100") {
    TCtrlRec r;
    r.TagName = tag;
    r.LogicalPoint = point;
    r.IPAddress = ip;
    r.CtrlType = type;
    registry->CtrlTable().Add(r);
  }
  httplib::Result Get(const std::string& path, const std::string& token = kWriter) {
    httplib::Client c("127.0.0.1", web->Port());
    return c.Get(path.c_str(), {{"Authorization", "Bearer " + token}});
  }
  httplib::Result Post(const std::string& path, const std::string& body, const std::string& token = kWriter) {
    httplib::Client c("127.0.0.1", web->Port());
    return c.Post(path.c_str(), {{"Authorization", "Bearer " + token}}, body, "application/json");
  }
  json Page(const std::string& query) {
    auto r = Get("/api/v1/transactions?" + query);
    EXPECT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
    return r ? json::parse(r->body) : json();
  }
  // Rows are stored on the loop, as the service stores them.
  void Store(int count, int& made) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < count; ++i, ++made)
      rows.push_back(
          {Format("T%d", made), "1015", Format("%6.6d", made % 50), "20261209", made % 10 ? "Door01" : "Lift"});
    ASSERT_TRUE(loop.Synchronize([&] {
      for (size_t from = 0; from < rows.size(); from += 500)
        ASSERT_TRUE(db->RunSQL(db->Query1, TransactionEvent::InsertSql(rows, {}, from, 500), false)) << log.Dump();
    }));
  }
  // The fakes are written on the loop: read there too.
  std::string LastCommand() {
    std::string c;
    loop.Synchronize([&] { c = engine.commands.empty() ? "" : engine.commands.back(); });
    return c;
  }
  std::string LastEngineId() {
    size_t n = 0;
    loop.Synchronize([&] { n = engine.commands.size(); });
    return Format("%9.9d", static_cast<int>(n));
  }
};

TEST_P(ApiServiceTest, PagingGivesEveryRowOnceWhileRowsArrive) {
  // Before the first stored transaction there is no table: an empty page.
  EXPECT_EQ(Page("").dump(), R"({"items":[],"next":"0"})");
  ASSERT_TRUE(loop.Synchronize(
      [&] { ASSERT_TRUE(db->RunSQL(db->Query1, TransactionEvent::TableSql(Db().Backend()), false)); }));
  int made = 0;
  Store(10000, made);

  std::vector<long long> seen;
  std::string next = "0";
  int limits[] = {1000, 1, 333, 1000, 100};
  for (int page = 0;; ++page) {
    ASSERT_LT(page, 200) << "the cursor does not move on";
    json p = Page("after=" + next + "&limit=" + std::to_string(limits[page % 5]));
    for (const auto& item : p["items"]) seen.push_back(std::stoll(item["id"].get<std::string>()));
    if (p["items"].empty()) {
      EXPECT_EQ(p["next"], next);
      break;
    }
    next = p["next"];
    EXPECT_EQ(next, p["items"].back()["id"]);
    if (page < 20) Store(37, made);  // new rows between pages
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(made));
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<long long>(seen.begin(), seen.end()).size(), seen.size());

  json lift = Page("tag=Lift&limit=1000");
  EXPECT_EQ(lift["items"].size(), 1000u);
  for (const auto& item : lift["items"]) ASSERT_EQ(item["tag"], "Lift");
  size_t card7 = 0;
  for (int i = 0; i < made; ++i) card7 += i % 50 == 7;
  EXPECT_EQ(Page("card=000007&tag=Door01&limit=1000")["items"].size(), card7);
}

TEST_P(ApiServiceTest, CommandsGoWhereAWorkstationsWouldAndTheirRepliesComeBack) {
  auto r = Post("/api/v1/units/Door01/commands", R"({"code":"PR","params":"05"})");
  ASSERT_EQ(r->status, 202) << r->body << log.Dump();
  const std::string first = json::parse(r->body)["id"];
  EXPECT_EQ(LastCommand(), "PULSE 1 1 05 ");
  EXPECT_EQ(Db().Scalar("select detail from Audit_Trail where action = 'Api Command'"), "door: PR 05 to Door01");
  EXPECT_EQ(json::parse(Get("/api/v1/commands/" + first)->body)["status"], "pending");
  EXPECT_EQ(Get("/api/v1/commands/" + first, kReader)->status, 404);  // another token's command

  // The reply the engine reports under the command's ID, fetched as "SZ"
  // fetches it, and the same answer when asked again.
  const std::string engineId = LastEngineId();
  loop.Synchronize([&] { client->PutReplyByID(engineId, "OK0501"); });
  EXPECT_EQ(Get("/api/v1/commands/" + first)->body, R"({"status":"done","reply":"OK0501"})");
  EXPECT_EQ(Get("/api/v1/commands/" + first)->body, R"({"status":"done","reply":"OK0501"})");

  // A reply the service can no longer keep: another command went out first.
  const std::string lost =
      json::parse(Post("/api/v1/units/Lift/commands", R"({"code":"PR","params":"03"})")->body)["id"];
  EXPECT_EQ(LastCommand(), "PULSE 1 5 03 127.0.0.2");
  const std::string failing = json::parse(Post("/api/v1/units/Door01/commands", R"({"code":"PR"})")->body)["id"];
  EXPECT_EQ(Get("/api/v1/commands/" + lost)->body, R"({"status":"failed","reply":""})");
  loop.Synchronize([&] { client->PutReplyByID(LastEngineId(), "XX"); });
  EXPECT_EQ(Get("/api/v1/commands/" + failing)->body, R"({"status":"failed","reply":"XX"})");

  // Terminals: their queue, their four codes, their outcome kept whatever follows.
  r = Post("/api/v1/units/Lobby%20F7/commands", R"({"code":"SC"})");
  ASSERT_EQ(r->status, 202) << r->body;
  const std::string terminal = json::parse(r->body)["id"];
  std::vector<std::string> kinds;
  loop.Synchronize([&] { kinds = zk.kinds; });
  EXPECT_EQ(kinds, std::vector<std::string>{"DTM"});
  Post("/api/v1/units/Door01/commands", R"({"code":"PR"})");
  loop.Synchronize([&] { client->PutReplyByID("Z1", "OK"); });
  EXPECT_EQ(json::parse(Get("/api/v1/commands/" + terminal)->body)["status"], "done");
  EXPECT_EQ(Post("/api/v1/units/Lobby%20F7/commands", R"({"code":"PR"})")->status, 422);

  EXPECT_EQ(Post("/api/v1/units/Nobody/commands", R"({"code":"PR"})")->status, 404);
  EXPECT_EQ(Post("/api/v1/units/Door17/commands", R"({"code":"PR"})")->status, 409);
  EXPECT_EQ(Post("/api/v1/units/Door01/commands", R"({"code":"PR"})", kReader)->status, 403);
  EXPECT_EQ(std::stoi(Db().Scalar("select count(*) from Audit_Trail where action = 'Api Command'")), 6);
}

TEST_P(ApiServiceTest, UnitsAndTheServersOwnRefusals) {
  json units = json::parse(Get("/api/v1/units", kReader)->body)["items"];
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(units[0]["transport"], "serial");
  EXPECT_EQ(units[0]["bus"], 1);
  EXPECT_EQ(units[1]["bus"], 2);
  EXPECT_EQ(units[2]["transport"], "ip");
  EXPECT_EQ(units[2]["address"], "127.0.0.2");
  EXPECT_EQ(units[2]["unit"], 5);
  EXPECT_EQ(units[3]["transport"], "terminal");
  EXPECT_EQ(units[3]["active"], true);
  EXPECT_EQ(units[3]["state"], "UP");
  EXPECT_TRUE(units[3]["last_poll"].is_null());
  EXPECT_EQ(units[0]["state"], "DOWN");  // the stand-in engine polls nothing

  // Limits the server applies before the API sees the request.
  auto big = Post("/api/v1/units/Door01/commands", R"({"code":"PR","params":")" + std::string(5000, '0') + "\"}");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);
  EXPECT_EQ(big->get_header_value("Content-Type"), "application/problem+json");
  httplib::Client c("127.0.0.1", web->Port());
  auto host = c.Get("/api/v1/units", {{"Host", "evil.example:80"}, {"Authorization", "Bearer " + kReader}});
  EXPECT_EQ(host->status, 400);
  EXPECT_EQ(json::parse(host->body)["status"], 400);
  auto unrouted = c.Put("/api/v1/units", {{"Authorization", "Bearer " + kReader}}, "", "text/plain");
  EXPECT_EQ(unrouted->get_header_value("Content-Type"), "application/problem+json");
}

PX_INSTANTIATE_DB_TESTS(ApiServiceTest);

}  // namespace
}  // namespace px
