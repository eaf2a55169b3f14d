#include "web/WebServer.h"

#include "common/StrUtil.h"
#include "platform/EventLoop.h"
#include "platform/IniFile.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/ServiceLog.h"
#include "service/Settings.h"
#include "web/HttpServer.h"
#include "web/WebPage.h"

namespace px {

namespace {

using httplib::Request;
using httplib::Response;
using Handled = HttpServer::HandlerResponse;

void Text(Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "Bad request: the request line or its headers could not be read.";
    case 401: return "Sign-in required: send the token as \"Authorization: Bearer TOKEN\" or sign in at /login.";
    case 403: return "Refused: this request must come from the monitor's own page.";
    case 404: return "Not found.";
    case 405: return "Method not allowed.";
    case 408: return "Request timeout: the request did not arrive in time.";
    case 413: return "Request body too long.";
    case 414: return "Request line too long.";
    case 429: return "Too many failed sign-ins from this address; try again later.";
    case 431: return "Request headers too large.";
    case 503: return "The service is not ready.";
    default: return "Request refused.";
  }
}

void Answer(Response& res, const ApiResponse& a) {
  res.status = a.status;
  for (const auto& [name, value] : a.headers) res.set_header(name, value);
  res.set_content(a.body, a.contentType);
}

void Page(Response& res, int status, const char* body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

RequestFacts Facts(const Request& req) {
  RequestFacts f;
  f.method = req.method;
  f.host = req.get_header_value("Host");
  f.origin = req.get_header_value("Origin");
  f.fetchSite = req.get_header_value("Sec-Fetch-Site");
  f.authorization = req.get_header_value("Authorization");
  f.cookie = req.get_header_value("Cookie");
  f.peer = req.remote_addr;
  f.forwardedProto = req.get_header_value("X-Forwarded-Proto");
  f.forwardedFor = req.get_header_value("X-Forwarded-For");
  return f;
}

WebGuard::Clock::time_point Now() { return WebGuard::Clock::now(); }

// Whoever holds the monitor's token may read through the API too.
ApiOptions WithMonitorToken(ApiOptions api, const WebOptions& web) {
  api.webToken = web.token;
  return api;
}

}  // namespace

WebServer::WebServer(EventLoop& loop, ServiceContext& ctx, ILog& log, WebOptions options, ApiOptions api)
    : loop_(loop),
      ctx_(ctx),
      log_(log),
      options_(std::move(options)),
      guard_(options_),
      view_(ctx),
      metrics_(ctx),
      apiBackend_(ctx, log, [this](const std::function<void()>& fn) { return OnLoop(fn); }),
      api_(WithMonitorToken(std::move(api), options_), apiBackend_) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::OnLoop(const std::function<void()>& fn) { return !stopping_ && loop_.Synchronize(fn); }

bool WebServer::Start() {
  // The buttons stop polling and the page shows names and card numbers:
  // open to other machines, the monitor needs a token.
  if (!guard_.LoopbackOnly() && !guard_.TokenRequired()) {
    log_.WriteLog(999, "Web: not started: Bind=" + options_.bind +
                           " lets other machines in and no Token is set; set [Web] Token, or Bind=127.0.0.1");
    return false;
  }
  HttpServer::Limits limits;
  limits.threads = static_cast<size_t>(std::max(1, options_.threads));
  limits.maxConnections = std::max<size_t>(limits.threads, options_.maxConnections);
  limits.maxHeaderBytes = options_.maxHeaderBytes;
  limits.maxBodyBytes = options_.maxBodyBytes;
  limits.waitMax = std::chrono::seconds(std::max(1, options_.readTimeoutSec));
  limits.deadline = std::chrono::seconds(std::max(1, options_.requestDeadlineSec));
  limits.keepAlive = std::chrono::seconds(std::max(1, options_.keepAliveSec));
  http_ = std::make_unique<HttpServer>(limits);
  Routes();
  if (options_.anyPort) {
    port_ = http_->bind_to_any_port(options_.bind);
  } else {
    port_ = http_->bind_to_port(options_.bind, options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    log_.WriteLog(999, "Web: cannot listen on " + options_.bind + ":" + IntToStr(options_.port));
    port_ = 0;
    http_.reset();
    return false;
  }
  guard_.SetPort(port_);
  listening_ = true;
  thread_ = std::thread([this] {
    http_->listen_after_bind();
    listening_ = false;
  });
  std::string host = options_.bind.find(':') != std::string::npos ? "[" + options_.bind + "]" : options_.bind;
  log_.WriteLog(999, "Web monitor on http://" + host + ":" + IntToStr(port_) + "/" +
                         (guard_.TokenRequired() ? " (token required)" : ""));
  return true;
}

void WebServer::Stop() {
  if (!http_) return;
  stopping_ = true;
  http_->stop();
  // Requests under way may wait for the loop; when stopped from the loop
  // thread itself, keep it turning until they are done.
  if (loop_.InLoopThread()) loop_.WaitUntil([this] { return !listening_.load(); }, 10, 1000);
  if (thread_.joinable()) thread_.join();
  http_.reset();
  port_ = 0;
}

void WebServer::Route(const char* method, const std::string& path, WebGuard::Access access,
                      std::function<void(const Request&, Response&)> handler) {
  if (access == WebGuard::Access::Open) access_[path] = access;
  if (std::string(method) == "GET") http_->Get(path, std::move(handler));
  else http_->Post(path, std::move(handler));
}

WebGuard::Access WebServer::AccessOf(const std::string& path) const {
  if (ApiHandler::IsApiPath(path)) return WebGuard::Access::Token;
  auto it = access_.find(path);
  return it == access_.end() ? WebGuard::Access::SignedIn : it->second;
}

void WebServer::Routes() {
  HttpServer& s = *http_;
  s.SetErrorPage([](const Request& req, Response& res) {
    if (!res.body.empty()) return;
    // An integrator's client reads every error of the API the same way.
    if (ApiHandler::IsApiPath(req.path)) Answer(res, ApiHandler::Problem(res.status, StatusText(res.status)));
    else Text(res, res.status, StatusText(res.status));
  });
  s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    Text(res, 500, "Internal error.");
  });
  s.set_default_headers({{"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "same-origin"},
                         {"Content-Security-Policy",
                          "default-src 'self'; img-src 'self' data:; style-src 'self'; frame-ancestors 'none'; "
                          "base-uri 'none'; form-action 'self'"}});
  s.SetGuard([this](const Request& req, Response& res) {
    const int status = guard_.Check(Facts(req), AccessOf(req.path), Now());
    if (status == 0) return Handled::Unhandled;
    if (ApiHandler::IsApiPath(req.path)) {
      Answer(res, ApiHandler::Problem(status, status == 400 ? "This host name is not served here."
                                                            : "Refused: a page of another site sent this request."));
      return Handled::Handled;
    }
    if (status == 400) Text(res, 400, "Bad request: this host name is not served here.");
    else if (status == 401 && req.method == "GET" && req.path == "/") Page(res, 401, kLoginHtml, "text/html; charset=utf-8");
    else Text(res, status, StatusText(status));
    if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
    return Handled::Handled;
  });

  using Access = WebGuard::Access;
  Route("GET", "/", Access::SignedIn,
        [](const Request&, Response& res) { Page(res, 200, kPageHtml, "text/html; charset=utf-8"); });
  Route("GET", "/app.js", Access::SignedIn,
        [](const Request&, Response& res) { Page(res, 200, kPageJs, "text/javascript; charset=utf-8"); });
  Route("GET", "/app.css", Access::Open,
        [](const Request&, Response& res) { Page(res, 200, kPageCss, "text/css; charset=utf-8"); });
  Route("GET", "/login", Access::Open, [this](const Request&, Response& res) {
    if (!guard_.TokenRequired()) return res.set_redirect("/", 303);
    Page(res, 200, kLoginHtml, "text/html; charset=utf-8");
  });
  Route("POST", "/login", Access::Open, [this](const Request& req, Response& res) {
    if (!guard_.TokenRequired()) return res.set_redirect("/", 303);
    std::string cookie;
    int retryAfter = 0;
    switch (guard_.TrySignIn(Facts(req), req.get_param_value("token"), Now(), cookie, retryAfter)) {
      case WebGuard::SignIn::Done:
        res.set_header("Set-Cookie", cookie);
        return res.set_redirect("/", 303);
      case WebGuard::SignIn::Throttled:
        res.set_header("Retry-After", std::to_string(retryAfter));
        return Text(res, 429, StatusText(429));
      case WebGuard::SignIn::Wrong:
        return Page(res, 401, kLoginHtml, "text/html; charset=utf-8");
    }
  });
  Route("POST", "/logout", Access::Open, [this](const Request& req, Response& res) {
    res.set_header("Set-Cookie", guard_.SignOut(Facts(req)));
    res.set_redirect(guard_.TokenRequired() ? "/login" : "/", 303);
  });
  Route("GET", "/api/state", Access::SignedIn, [this](const Request&, Response& res) {
    std::string json;
    if (!OnLoop([&] { json = view_.StateJson(); })) return Text(res, 503, StatusText(503));
    // The page offers a sign-out where there is a sign-in.
    json.insert(1, std::string("\"signOut\":") + (guard_.TokenRequired() ? "true," : "false,"));
    res.set_content(json, "application/json");
  });
  auto button = [this](bool scan) {
    return [this, scan](const Request&, Response& res) {
      bool done = false;
      if (!OnLoop([&] { done = scan ? view_.PressScan() : view_.PressClear(); }) || !done)
        return Text(res, 503, StatusText(503));
      Text(res, 200, "OK");
    };
  };
  Route("POST", "/api/scan", Access::SignedIn, button(true));
  Route("POST", "/api/clear", Access::SignedIn, button(false));
  for (const char* path : {"/api/scan", "/api/clear", "/logout"})
    Route("GET", path, Access::SignedIn,
          [](const Request&, Response& res) { Text(res, 405, "Method not allowed: use POST."); });
  // The REST API routes its own paths: what it parses, the fuzz target
  // reaches without a server.
  for (const char* method : {"GET", "POST"})
    Route(method, R"(/api/v1/.*)", Access::Token, [this](const Request& req, Response& res) {
      Answer(res, api_.Handle({req.method, req.target, req.get_header_value("Authorization"), req.body}, Now()));
    });
  Route("GET", "/metrics", Access::SignedIn, [this](const Request&, Response& res) {
    std::string text;
    if (!OnLoop([&] { text = metrics_.Render(); })) return Text(res, 503, StatusText(503));
    res.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });
  Route("GET", "/health", Access::SignedIn, [this](const Request&, Response& res) {
    bool started = false, db = false;
    OnLoop([&] {
      started = ctx_.ServerState == 5 && !ctx_.Stopping;
      db = ctx_.db && ctx_.db->Database1.Connected();
    });
    res.status = started && db ? 200 : 503;
    res.set_content(std::string("{\"status\":\"") + (started && db ? "ok" : "unavailable") +
                        "\",\"started\":" + (started ? "true" : "false") + ",\"database\":" + (db ? "true" : "false") +
                        "}",
                    "application/json");
  });
}

std::unique_ptr<IWebMonitor> MakeWebMonitor(ServiceContext& ctx) {
  const TIniFile ini(ctx.settings->AppDir + "OstrPro.Ini");
  WebOptions o = WebOptions::FromIni(ini, *ctx.log);
  if (o.port == 0) return nullptr;
  ApiOptions api = ApiOptions::FromIni(ini, *ctx.log);
  std::string callers;
  for (const auto& t : api.tokens)
    callers += (callers.empty() ? "" : ", ") + t.name + (t.command ? " (read,command)" : " (read)");
  auto web = std::make_unique<WebServer>(*ctx.loop, ctx, *ctx.log, o, std::move(api));
  if (!web->Start()) return nullptr;
  ctx.log->WriteLog(999, "REST API on /api/v1 for " + (callers.empty() ? "no token of section Api" : callers));
  return web;
}

}  // namespace px
