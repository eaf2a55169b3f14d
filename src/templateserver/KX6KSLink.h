#pragma once
#include <functional>
#include <memory>
#include <string>

#include "common/Log.h"
#include "platform/ClientSocket.h"
#include "platform/EventLoop.h"
#include "templateserver/KX6KSRing.h"

namespace px {

// The connection to one template server device at a time and its
// request/reply exchange. Waits keep the event loop running in short steps,
// so clients and controllers are served while a device is slow; every wait
// is bounded and ends early when the service stops or the device hangs up.
// Loop thread only.
class TKX6KSLink {
public:
  struct Timing {
    int connectTries = 60;     // connection wait: tries x step
    int connectStepMs = 50;
    int replyWaitMs = 100000;  // silence allowed before and inside a reply
  };
  // The longest reply wait taken from the configuration: an hour. Longer
  // would hold the service's tick for longer than anyone waits for a device.
  static constexpr long long kMaxReplyWaitSec = 3600;
  // The configured reply wait (seconds) in milliseconds, within 1 s .. an hour.
  static int ReplyWaitMs(long long seconds);

  TKX6KSLink(EventLoop& loop, ILog& log, std::function<bool()> abort,
             size_t ringSize = TKX6KSRing::kDefaultSize);
  ~TKX6KSLink();

  Timing timing;
  std::string templateDir;  // where the template files of uploads are read
  // Called with a memo line ("> Network Error.").
  std::function<void(const std::string&)> OnMemo;

  bool ConnectIP(const std::string& address, int port);
  // One command to the device (address "" keeps the current connection):
  // 1 on success with the reply text (address byte to checksum, no CR),
  // a negative device code, or 0 when no complete reply came.
  int SendKX6KS(const std::string& address, int port, const std::string& command, std::string& reply, int unit,
                const std::string& data);
  // A reply ends at its CR. It is given up after the reply wait of silence,
  // when it grows beyond the longest legal reply, or when it is not complete
  // within twice the reply wait of the frame being sent, however the device
  // paces its bytes.
  int KT7100Replied(int unit, std::string& reply, const std::string& command);
  // The "WU" upload of the template file of a 12-digit ID, packet by packet.
  int HandleTemplatePackages(int unit, const std::string& id12);
  void Close();
  bool Connected() const { return sock_ && sock_->Connected(); }

private:
  bool SendFrame(const std::string& frame);
  void CSock1Read(TClientSocket& s);
  bool Aborted() const { return abort_ && abort_(); }

  EventLoop& loop_;
  ILog& log_;
  std::function<bool()> abort_;
  std::unique_ptr<TClientSocket> sock_;
  TKX6KSRing ring_;
  bool overflow_ = false;
};

}  // namespace px
