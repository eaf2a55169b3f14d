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
using httplib::Server;

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
    case 413: return "Request body too long.";
    case 414: return "Request line too long.";
    case 431: return "Request headers too large.";
    case 503: return "The service is not ready.";
    default: return "Request refused.";
  }
}

size_t HeaderBytes(const Request& req) {
  size_t n = 0;
  for (const auto& [k, v] : req.headers) n += k.size() + v.size() + 4;
  return n;
}

void Page(Response& res, int status, const char* body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

}  // namespace

WebServer::WebServer(EventLoop& loop, ServiceContext& ctx, ILog& log, WebOptions options)
    : loop_(loop), ctx_(ctx), log_(log), options_(std::move(options)), guard_(options_), view_(ctx), metrics_(ctx) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::OnLoop(const std::function<void()>& fn) { return !stopping_ && loop_.Synchronize(fn); }

bool WebServer::Start() {
  HttpServer::Limits limits;
  limits.threads = static_cast<size_t>(std::max(1, options_.threads));
  limits.maxConnections = std::max<size_t>(limits.threads, options_.maxConnections);
  limits.maxRequestBytes = options_.maxHeaderBytes + options_.maxBodyBytes + 1024;
  limits.readTimeoutSec = options_.readTimeoutSec;
  limits.keepAliveSec = options_.keepAliveSec;
  http_ = std::make_unique<HttpServer>(limits);
  http_->set_payload_max_length(options_.maxBodyBytes);
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
  listening_ = true;
  thread_ = std::thread([this] {
    http_->listen_after_bind();
    listening_ = false;
  });
  std::string host = options_.bind.find(':') != std::string::npos ? "[" + options_.bind + "]" : options_.bind;
  log_.WriteLog(999, "Web monitor on http://" + host + ":" + IntToStr(port_) + "/" +
                         (guard_.TokenRequired() ? " (token required)" : ""));
  // Its buttons stop polling: reachable from other machines, it wants a token.
  const bool loopbackOnly = !guard_.HostAllowed("other.invalid");
  if (!guard_.TokenRequired() && !loopbackOnly)
    log_.WriteLog(999, "Web: reachable from other machines without a Token; anyone there can stop scanning");
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

void WebServer::Routes() {
  Server& s = *http_;
  s.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) Text(res, res.status, StatusText(res.status));
  });
  s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    Text(res, 500, "Internal error.");
  });
  s.set_default_headers({{"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "same-origin"},
                         {"Content-Security-Policy",
                          "default-src 'self'; img-src 'self' data:; style-src 'self'; frame-ancestors 'none'"}});
  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (HeaderBytes(req) > options_.maxHeaderBytes) {
      Text(res, 431, StatusText(431));
      return Server::HandlerResponse::Handled;
    }
    if (!guard_.HostAllowed(req.get_header_value("Host"))) {
      Text(res, 400, "Bad request: this host name is not served here.");
      return Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" &&
        !WebGuard::SameOrigin(req.get_header_value("Origin"), req.get_header_value("Host"),
                              req.get_header_value("Sec-Fetch-Site"))) {
      Text(res, 403, StatusText(403));
      return Server::HandlerResponse::Handled;
    }
    if (req.path == "/login" || req.path == "/app.css" ||
        guard_.Authorised(req.get_header_value("Authorization"), req.get_header_value("Cookie")))
      return Server::HandlerResponse::Unhandled;
    if (req.method == "GET" && req.path == "/") Page(res, 401, kLoginHtml, "text/html; charset=utf-8");
    else Text(res, 401, StatusText(401));
    res.set_header("WWW-Authenticate", "Bearer");
    return Server::HandlerResponse::Handled;
  });

  s.Get("/", [](const Request&, Response& res) { Page(res, 200, kPageHtml, "text/html; charset=utf-8"); });
  s.Get("/app.js", [](const Request&, Response& res) { Page(res, 200, kPageJs, "text/javascript; charset=utf-8"); });
  s.Get("/app.css", [](const Request&, Response& res) { Page(res, 200, kPageCss, "text/css; charset=utf-8"); });
  s.Get("/login", [this](const Request&, Response& res) {
    if (!guard_.TokenRequired()) {
      res.set_redirect("/", 303);
      return;
    }
    Page(res, 200, kLoginHtml, "text/html; charset=utf-8");
  });
  s.Post("/login", [this](const Request& req, Response& res) {
    if (guard_.TokenMatches(req.get_param_value("token"))) {
      res.set_header("Set-Cookie", guard_.SessionCookie());
      res.set_redirect("/", 303);
      return;
    }
    Page(res, 401, kLoginHtml, "text/html; charset=utf-8");
  });
  s.Get("/api/state", [this](const Request&, Response& res) {
    std::string json;
    if (!OnLoop([&] { json = view_.StateJson(); })) return Text(res, 503, StatusText(503));
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
  s.Post("/api/scan", button(true));
  s.Post("/api/clear", button(false));
  for (const char* path : {"/api/scan", "/api/clear"})
    s.Get(path, [](const Request&, Response& res) { Text(res, 405, "Method not allowed: use POST."); });
  s.Get("/metrics", [this](const Request&, Response& res) {
    std::string text;
    if (!OnLoop([&] { text = metrics_.Render(); })) return Text(res, 503, StatusText(503));
    res.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/health", [this](const Request&, Response& res) {
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
  WebOptions o = WebOptions::FromIni(TIniFile(ctx.settings->AppDir + "OstrPro.Ini"), *ctx.log);
  if (o.port == 0) return nullptr;
  auto web = std::make_unique<WebServer>(*ctx.loop, ctx, *ctx.log, o);
  if (!web->Start()) return nullptr;
  return web;
}

}  // namespace px
