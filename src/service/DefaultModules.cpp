#include "service/DefaultModules.h"

#include "clientserver/ClientProtocol.h"
#include "clientserver/ClientServer.h"
#include "engine/EngineConfig.h"
#include "engine/MainForm.h"
#include "events/EventStream.h"
#include "events/MqttLink.h"
#include "monitor/TransOnlineForm.h"
#include "platform/IniFile.h"
#include "service/ArqLibrary.h"
#include "service/ServiceDb.h"
#include "service/TransStore.h"
#include "service/ZkServiceHost.h"
#include "zk/ZKF7Form.h"
#include "zk/ZkDriver.h"
#include "templateserver/KX6KSForm.h"
#include "web/WebServer.h"

namespace px {

namespace {

// The template server module is created during start-up, after the engine;
// the engine reaches it through this forwarder, which sees it once it exists.
class TemplateServerForwarder : public ITemplateServer {
public:
  explicit TemplateServerForwarder(ServiceContext& ctx) : ctx_(ctx) {}
  bool ServerDownloadATemplate(const std::string& m, const std::string& c, const std::string& k,
                               const std::string& u, const std::string& t, const std::string& a) override {
    return ctx_.templates && ctx_.templates->ServerDownloadATemplate(m, c, k, u, t, a);
  }
  bool AddDelTemplate(const std::string& m, const std::string& c, const std::string& u) override {
    return ctx_.templates && ctx_.templates->AddDelTemplate(m, c, u);
  }
  TemplateHandOff HandOffCardCommand(bool add, const std::string& u, const std::string& a, int unit) override {
    return ctx_.templates ? ctx_.templates->HandOffCardCommand(add, u, a, unit) : TemplateHandOff::Failed;
  }

private:
  ServiceContext& ctx_;
};

// The engine with what it needs kept alive beside it.
class OwnedEngine : public TMainForm {
public:
  OwnedEngine(ServiceContext& ctx, EngineConfig cfg, std::unique_ptr<TemplateServerForwarder> fwd)
      : TMainForm(*ctx.loop, *ctx.log, cfg, ctx.clock, &ctx.registry->CtrlTable(), fwd.get(), ctx.journal),
        fwd_(std::move(fwd)) {}
  ~OwnedEngine() override { SetStopping(); }

private:
  std::unique_ptr<TemplateServerForwarder> fwd_;
};

// One terminal control per configured terminal.
ZkemFactory TerminalControls(long long commKey) {
  return [commKey]() -> std::unique_ptr<IZKEM> {
    auto d = std::make_unique<ZkDriver>();
    d->SetCommKey(static_cast<uint32_t>(commKey));
    return d;
  };
}

}  // namespace

ZkSettings ZkSettingsOf(const ServiceSettings& s) {
  ZkSettings z;
  z.AppDir = s.AppDir;
  z.F18Ext = s.F18Ext;
  z.Alg10 = s.Alg10;
  z.EvenUnitAsExit = s.EvenUnitAsExit;
  z.FingerOrCard = s.FingerOrCard;
  z.MasterF8 = s.MasterF8;
  z.RetryWaitSec = s.RetryWaitSec;
  z.Debug = s.Debug;
  return z;
}

std::unique_ptr<IZKModule> MakeZkModule(ServiceContext& ctx, ZkemFactory controls) {
  TZKF7Form::Options o;
  o.settings = ZkSettingsOf(*ctx.settings);
  o.loop = ctx.loop;
  o.clock = ctx.clock;
  o.stopping = &ctx.ServiceStopping;
  return std::make_unique<TZKF7Form>(o, *ctx.log, std::make_shared<ZkServiceHost>(ctx), std::move(controls));
}

std::unique_ptr<IEventStream> MakeEventStream(ServiceContext& ctx) {
  StreamOptions o = StreamOptions::FromIni(TIniFile(ctx.settings->AppDir + "OstrPro.Ini"), *ctx.log);
  EventStreamHost h;
  h.loop = ctx.loop;
  h.log = ctx.log;
  h.clock = ctx.clock;
  h.db = &ctx.db->Database1;
  h.ready = [&ctx] { return ctx.ServerState == 5; };
  h.units = [&ctx] {
    std::vector<StreamUnit> units;
    const ControllerTable& t = ctx.registry->CtrlTable();
    for (int i = 1; i <= t.Count(); ++i)
      units.push_back({t[i].TagName, t[i].CtrlType, IsTerminalType(t[i].CtrlType)});
    return units;
  };
  std::unique_ptr<IMqttLink> link;
  if (o.Enabled()) link = std::make_unique<MqttLink>(o, *ctx.log);
  auto stream = std::make_unique<EventStream>(std::move(h), std::move(o), std::move(link));
  stream->Start();
  return stream;
}

ServiceModules DefaultModules() {
  ServiceModules m;
  m.makeMonitor = [](ServiceContext&) { return std::make_unique<TTransOnlineForm>(); };
  m.makeStore = [](ServiceContext& ctx) { return std::make_unique<TTransStore>(ctx, *ctx.log); };
  m.makeArq = [](ServiceContext& ctx) { return std::make_unique<ArqLibrary>(*ctx.settings, *ctx.log); };
  m.makeEngine = [](ServiceContext& ctx) -> std::unique_ptr<IEngine> {
    EngineConfig cfg;
    cfg.appDir = ctx.settings->AppDir;
    cfg.iniPath = ctx.settings->AppDir + "OstrPro.Ini";
    cfg.singleSocket = ctx.settings->SingleSocket;
    cfg.kx6ksEnable = ctx.settings->KX6KSEnable;
    cfg.singleSocketPort = ctx.settings->SingleSocketPort;
    cfg.comDevicePath = ComDevicePathFromIni(TIniFile(cfg.iniPath));
    auto fwd = std::make_unique<TemplateServerForwarder>(ctx);
    return std::make_unique<OwnedEngine>(ctx, cfg, std::move(fwd));
  };
  m.makeZK = [](ServiceContext& ctx) { return MakeZkModule(ctx, TerminalControls(ctx.settings->ZKCommKey)); };
  m.makeClient = [](ServiceContext& ctx) -> std::unique_ptr<IClientProtocol> {
    return std::make_unique<TClientProtocol>(ctx, *ctx.log);
  };
  m.makeTemplateServer = [](ServiceContext& ctx) -> std::unique_ptr<ITemplateServer> {
    const ServiceSettings& s = *ctx.settings;
    KX6KSHost h;
    h.loop = ctx.loop;
    h.log = ctx.log;
    h.clock = ctx.clock;
    h.appDir = s.AppDir;
    h.enabled = s.KX6KSEnable;
    h.master = s.KX6KSMaster;
    h.port = s.KX6KSPort;
    h.timing.replyWaitMs = TKX6KSLink::ReplyWaitMs(s.KX6KSReplyWaitSec);
    h.db = &ctx.db->Database1;
    h.runSql = [&ctx](TQuery& q, const std::string& sql, bool sel) { return ctx.db->RunSQL(q, sql, sel); };
    h.audit = [&ctx](const std::string& a, const std::string& d) {
      if (ctx.client) ctx.client->WriteToAuditTrail(a, d);
    };
    h.putDone = [&ctx](const std::string& e) { return ctx.client ? ctx.client->Queue_PutDone(e) : 0; };
    h.onOffPolling = [&ctx](const std::string& ip, const std::string& onOff) {
      if (ctx.engine) ctx.engine->OnOffPollingThread(ip, onOff);
    };
    h.stopping = [&ctx] { return ctx.Stopping.load() || ctx.ServiceStopping.load(); };
    return std::make_unique<TKX6KSForm>(std::move(h));
  };
  m.makeListener = [](ServiceContext& ctx) -> std::unique_ptr<IClientListener> {
    if (!ctx.client) return nullptr;
    ClientServerOptions o;
    o.maxPerHost = static_cast<size_t>(ctx.settings->MaxClientsPerHost);
    return std::make_unique<TClientServer>(ctx.loop->Context(), *ctx.log, *ctx.client, o);
  };
  m.makeWeb = [](ServiceContext& ctx) { return MakeWebMonitor(ctx); };
  m.makeEvents = [](ServiceContext& ctx) { return MakeEventStream(ctx); };
  return m;
}

}  // namespace px
