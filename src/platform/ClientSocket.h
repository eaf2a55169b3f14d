#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"

namespace px {

// What an error event was about.
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeLookup };

// An event-driven (non-blocking) TCP client socket on the event loop.
//
// Open() starts connecting to Address (a dotted IPv4/IPv6 address) or, when
// Address is empty, to Host (resolved by name), at Port, and returns at
// once; OnConnect or OnError(eeConnect/eeLookup) follows. Once connected,
// received bytes are buffered and OnRead fires; ReceiveText() takes what is
// buffered. SendText() queues bytes for writing. A connection the peer
// closes fires OnDisconnect; a failed read or write fires OnError and then
// OnDisconnect. Every error closes the socket. Close() closes at once and
// fires nothing. There is no connect time-out: callers count their own.
//
// An error handler marks the error handled by setting the code to 0; an
// error left unhandled is kept in LastError().
//
// Events never fire after Close() or destruction, even when the loop still
// holds completions of the old connection, and a handler may close, reopen
// or destroy the socket. Use on the loop thread only.
class TClientSocket {
public:
  explicit TClientSocket(EventLoop& loop);
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  std::string Address;
  std::string Host;
  int Port = 0;
  int Tag = 0;

  void Open();
  void Close();
  // Connecting or connected.
  bool Active() const;
  bool Connected() const;

  // Bytes accepted for sending (all of them), 0 when not connected.
  int SendText(std::string_view bytes);
  // Takes everything received so far.
  std::string ReceiveText();
  size_t ReceiveLength() const;

  int LastError() const { return lastError_; }
  // The system's text for an error code.
  static std::string ErrorText(int code);

  std::function<void(TClientSocket&)> OnConnect;
  std::function<void(TClientSocket&)> OnRead;
  std::function<void(TClientSocket&)> OnDisconnect;
  std::function<void(TClientSocket&, TErrorEvent, int& code)> OnError;

private:
  struct State;
  static void StartRead(const std::shared_ptr<State>& st);
  static void StartWrite(const std::shared_ptr<State>& st);
  static void ConnectDone(const std::shared_ptr<State>& st, unsigned long gen, const std::error_code& ec);
  static void Fail(const std::shared_ptr<State>& st, TErrorEvent ev, const std::error_code& ec);
  static void PeerClosed(const std::shared_ptr<State>& st);
  static void CloseState(State& st);

  EventLoop& loop_;
  std::shared_ptr<State> st_;
  int lastError_ = 0;
};

}  // namespace px
