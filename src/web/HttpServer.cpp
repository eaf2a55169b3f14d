#include "web/HttpServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/StrUtil.h"
#include "web/RequestStream.h"
#include "web/WorkerPool.h"

namespace px {

namespace {

// What the library's hooks learn about the request under way on this thread.
struct Exchange {
  const RequestStream* stream = nullptr;
  int status = 0;
  bool bodyUnread = false;
};
thread_local Exchange* tlExchange = nullptr;

bool HasBody(const httplib::Request& req) {
  const std::string length = req.get_header_value("Content-Length");
  return (!length.empty() && length != "0") || req.has_header("Transfer-Encoding");
}

const char* Reason(int status) {
  switch (status) {
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    default: return "Service Unavailable";
  }
}

// An answer written without the library: when the accepting thread refuses
// a connection, or when a request broke a limit before the library could
// read its request line.
void RawAnswer(int sock, int status, const std::string& text, bool dontWait) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) +
                    "\r\nConnection: close\r\n" + (status == 503 ? "Retry-After: 1\r\n" : "") + "\r\n" + text;
  (void)::send(sock, out.data(), out.size(), MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
}

void Close(int sock) {
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

}  // namespace

HttpServer::HttpServer(const Limits& limits) : limits_(limits) {
  new_task_queue = [this] { return new WorkerPool(limits_.threads, limits_.maxConnections); };
  // An answer goes out as headers and body in two writes: without this the
  // body waits for the peer's delayed acknowledgement of the headers, some
  // 40 ms on every kept-alive request.
  set_tcp_nodelay(true);
  set_keep_alive_timeout(std::max<time_t>(1, limits_.keepAlive.count() / 1000));
  set_keep_alive_max_count(limits_.keepAliveRequests);
  set_payload_max_length(limits_.maxBodyBytes);
  set_logger([](const httplib::Request& req, const httplib::Response& res) {
    if (!tlExchange) return;
    tlExchange->status = res.status;
    // The library reads no body of a GET; whatever it left on the stream is
    // not the start of a request.
    if (HasBody(req) && req.body.empty()) tlExchange->bodyUnread = true;
  });
  SetGuard([](const httplib::Request&, httplib::Response&) { return HandlerResponse::Unhandled; });
  SetErrorPage([](const httplib::Request&, httplib::Response&) {});
}

void HttpServer::SetGuard(HandlerWithResponse guard) {
  set_pre_routing_handler([this, guard = std::move(guard)](const httplib::Request& req, httplib::Response& res) {
    // A body announced too long is refused before any of it is read (the
    // library would read and drop it first, at the sender's pace).
    long long length = 0;
    HandlerResponse r = HandlerResponse::Handled;
    if (TryStrToInt(req.get_header_value("Content-Length"), length) &&
        length > static_cast<long long>(limits_.maxBodyBytes))
      res.status = 413;
    else
      r = guard(req, res);
    if (r == HandlerResponse::Handled && HasBody(req) && tlExchange) {
      tlExchange->bodyUnread = true;
      res.set_header("Connection", "close");
    }
    return r;
  });
}

void HttpServer::SetErrorPage(Handler page) {
  set_error_handler(HandlerWithResponse([page = std::move(page)](const httplib::Request& req, httplib::Response& res) {
    // The library answers 400 to any request it could not read; a broken
    // limit has a status of its own.
    if (tlExchange && tlExchange->stream && res.status == 400) {
      if (int s = RequestStream::StatusFor(tlExchange->stream->Broken())) res.status = s;
    }
    res.set_header("Connection", "close");
    page(req, res);
    return HandlerResponse::Handled;
  }));
}

bool HttpServer::AwaitRequest(RequestStream& strm, bool fresh) const {
  const auto end = RequestStream::Clock::now() + limits_.keepAlive;
  WorkerPool* pool = WorkerPool::Current();
  // A fresh connection gets one slice to send its request even when others
  // wait: a client writes its request as soon as it has connected.
  for (bool first = true;; first = false) {
    if (Stopping()) return false;
    if (strm.WaitReadable(0)) return true;
    if (pool && pool->Waiting() > 0 && !(fresh && first)) return false;
    if (RequestStream::Clock::now() >= end) return false;
    if (strm.WaitReadable(100)) return true;
  }
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  if (!WorkerPool::Current()) {  // over the bound, on the accepting thread
    RawAnswer(sock, 503, "Too many connections; try again soon.\n", true);
    Close(sock);
    return false;
  }
  RequestStream::Limits sl;
  sl.maxHeaderBytes = limits_.maxHeaderBytes;
  sl.maxBodyBytes = limits_.maxBodyBytes + 1024;
  sl.waitMax = limits_.waitMax;
  sl.deadline = limits_.deadline;
  RequestStream strm(sock, sl, [this] { return Stopping(); });
  bool ok = false;
  for (size_t served = 0; served < limits_.keepAliveRequests; ++served) {
    if (!AwaitRequest(strm, served == 0)) break;
    strm.NewRequest();
    Exchange ex;
    ex.stream = &strm;
    tlExchange = &ex;
    bool closed = false;
    ok = process_request(strm, served + 1 == limits_.keepAliveRequests, closed, nullptr);
    tlExchange = nullptr;
    const int broken = RequestStream::StatusFor(strm.Broken());
    if (!ok && broken && strm.Written() == 0) RawAnswer(sock, broken, "Request refused: limit exceeded.\n", false);
    if (!ok || closed || ex.status >= 400 || ex.bodyUnread || broken) break;
  }
  Close(sock);
  return ok;
}

}  // namespace px
