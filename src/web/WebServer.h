#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "common/Log.h"
#include "web/ApiHandler.h"
#include "web/ApiLoopBackend.h"
#include "web/ApiOptions.h"
#include "web/MetricsText.h"
#include "web/MonitorView.h"
#include "web/WebApi.h"
#include "web/WebGuard.h"
#include "web/WebOptions.h"

namespace px {

class EventLoop;
struct ServiceContext;
class HttpServer;

// The web monitor: the page with the two windows, its JSON state and
// buttons, /metrics and /health, and the REST API under /api/v1, served on
// a thread of its own. Every read of engine, grid, registry or database
// state, every button press and every command runs on the event loop
// through Synchronize.
class WebServer : public IWebMonitor {
public:
  WebServer(EventLoop& loop, ServiceContext& ctx, ILog& log, WebOptions options, ApiOptions api = {});
  ~WebServer() override;
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds and starts serving; false (logged) when the address cannot be used.
  bool Start();
  int Port() const override { return port_; }
  void Stop() override;

private:
  void Routes();
  // A route and who may use it: every request passes the guard first.
  void Route(const char* method, const std::string& path, WebGuard::Access access,
             std::function<void(const httplib::Request&, httplib::Response&)> handler);
  WebGuard::Access AccessOf(const std::string& path) const;
  // Runs fn on the loop; false when the loop is gone or the server stops.
  bool OnLoop(const std::function<void()>& fn);

  EventLoop& loop_;
  ServiceContext& ctx_;
  ILog& log_;
  WebOptions options_;
  WebGuard guard_;
  std::map<std::string, WebGuard::Access> access_;  // by path; a path not listed needs sign-in
  MonitorView view_;
  MetricsText metrics_;
  ApiLoopBackend apiBackend_;
  ApiHandler api_;
  std::unique_ptr<HttpServer> http_;
  std::thread thread_;
  std::atomic<bool> listening_{false};
  std::atomic<bool> stopping_{false};
  int port_ = 0;
};

// Reads sections "Web" and "Api" of the program's configuration and starts the monitor;
// null when it is switched off or cannot listen.
std::unique_ptr<IWebMonitor> MakeWebMonitor(ServiceContext& ctx);

}  // namespace px
