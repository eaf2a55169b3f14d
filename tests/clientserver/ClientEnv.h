#pragma once
// A client protocol over a real database with fake engine, ZK module and
// template server, as the tests and the fuzz target use it.
#include <memory>
#include <string>

#include "ClientFakes.h"
#include "clientserver/ClientProtocol.h"
#include "common/DateTime.h"
#include "monitor/TransOnlineForm.h"
#include "platform/Sql.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"

namespace px::test {

struct ClientEnv {
  ILog& log;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(DateTime{2026, 3, 14, 15, 9, 26, 535});
  ServiceSettings settings;
  std::unique_ptr<ServiceDb> db;
  std::unique_ptr<ControllerRegistry> registry;
  ClientFakeEngine engine;
  ClientFakeZk zk;
  ClientFakeTemplates templates;
  TTransOnlineForm monitor;
  ServiceContext ctx;
  std::unique_ptr<TClientProtocol> proto;

  // appDir ends with "/"; connection is what the "OstrPro" alias opens.
  ClientEnv(ILog& l, const std::string& appDir, const std::string& connection) : log(l) {
    settings.AppDir = appDir;
    settings.DbOstrPro = connection;
    settings.DbOstrTimeSQL = "sqlite:" + appDir + "OstrTimeSQL.db";
    db = std::make_unique<ServiceDb>(settings, log, clock);
    db->SQLDB_Connect(false);
    registry = std::make_unique<ControllerRegistry>(settings, *db, log);
    registry->SetEngine(&engine);
    ctx.log = nullptr;  // the protocol gets its log passed in
    ctx.settings = &settings;
    ctx.clock = clock;
    ctx.db = db.get();
    ctx.registry = registry.get();
    ctx.engine = &engine;
    ctx.zk = &zk;
    ctx.templates = &templates;
    ctx.monitor = &monitor;
    proto = std::make_unique<TClientProtocol>(ctx, log);
    ctx.client = proto.get();
  }

  bool Exec(const std::string& sql) { return db->RunSQL(db->Query2, sql, false); }
  std::string Scalar(const std::string& sql) {
    db->RunSQL(db->Query2, sql, true);
    std::string v = db->Query2.Rows().rows.empty() ? "" : db->Query2.Rows().rows[0][0];
    db->Query2.Close();
    return v;
  }
  bool AddCtrl(const std::string& tag, const std::string& point, const std::string& type,
               const std::string& spare3 = "") {
    return Exec("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values (" +
                SqlQuote(tag) + "," + SqlQuote(point) + "," + SqlQuote(spare3) + "," + SqlQuote(type) +
                ",'UP','Y')");
  }
  bool AddPoint(const std::string& table, const std::string& tag, const std::string& device) {
    return Exec("insert into " + table + " (tag_name, AttachDevice) values (" + SqlQuote(tag) + "," +
                SqlQuote(device) + ")");
  }
  bool LoadRegistry() { return registry->StartUpComm(); }
  std::string Ask(const std::string& request, const std::string& remote = "127.0.0.1") {
    return proto->ReplyToClientQuery(request, remote);
  }
};

}  // namespace px::test
