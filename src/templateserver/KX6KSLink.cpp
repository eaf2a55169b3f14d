#include "templateserver/KX6KSLink.h"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "common/Format.h"
#include "common/StrUtil.h"
#include "templateserver/KX6KSFrame.h"

namespace px {

namespace {
using Steady = std::chrono::steady_clock;
}

int TKX6KSLink::ReplyWaitMs(long long seconds) {
  return static_cast<int>(std::clamp<long long>(seconds, 1, kMaxReplyWaitSec) * 1000);
}

TKX6KSLink::TKX6KSLink(EventLoop& loop, ILog& log, std::function<bool()> abort, size_t ringSize)
    : loop_(loop), log_(log), abort_(std::move(abort)), sock_(std::make_unique<TClientSocket>(loop)), ring_(ringSize) {
  sock_->OnRead = [this](TClientSocket& s) { CSock1Read(s); };
  sock_->OnError = [this](TClientSocket& s, TErrorEvent, int& code) {
    // Handled here: the waiting exchange sees the closed socket and ends.
    code = 0;
    s.Close();
    if (OnMemo) OnMemo("> Network Error.");
  };
}

TKX6KSLink::~TKX6KSLink() { sock_->Close(); }

void TKX6KSLink::CSock1Read(TClientSocket& s) {
  std::string bytes = s.ReceiveText();
  if (bytes.empty() || ring_.Put(bytes)) return;
  // Unread bytes stay as they are; the exchange under way fails instead.
  if (!overflow_)
    log_.WriteLog(999, Format("<6KS.PDat> receive ring full, %zu unread, %zu bytes refused", ring_.Unread(),
                              bytes.size()));
  overflow_ = true;
}

bool TKX6KSLink::ConnectIP(const std::string& address, int port) {
  try {
    // A connection to another device is never reused for this one.
    if (sock_->Active() && (sock_->Address != address || sock_->Port != port)) sock_->Close();
    if (!sock_->Connected()) {
      sock_->Close();
      sock_->Address = address;
      sock_->Host.clear();
      sock_->Port = port;
      sock_->Open();
      loop_.WaitUntil([this] { return sock_->Connected() || !sock_->Active(); }, timing.connectStepMs,
                      timing.connectTries, [this] { return Aborted(); });
      if (!sock_->Connected()) sock_->Close();
    }
    return sock_->Connected();
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<6KS.ConIP>") + e.what());
    return false;
  }
}

void TKX6KSLink::Close() { sock_->Close(); }

bool TKX6KSLink::SendFrame(const std::string& frame) {
  // Whatever is left from an exchange that timed out is not this reply.
  ring_.Clear();
  overflow_ = false;
  return sock_->Connected() && sock_->SendText(frame) > 0;
}

int TKX6KSLink::SendKX6KS(const std::string& address, int port, const std::string& command, std::string& reply,
                          int unit, const std::string& data) {
  try {
    reply.clear();
    if (!address.empty() && !ConnectIP(address, port)) {
      log_.WriteLog(999, "Send: Failed to connect");
      return 0;
    }
    if (command == "WU") return HandleTemplatePackages(unit, data);
    if (!SendFrame(kx6ks::BuildFrame(unit, command, data))) return 0;
    return KT7100Replied(unit, reply, command);
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<6KS.Send>") + e.what());
    return 0;
  }
}

int TKX6KSLink::KT7100Replied(int unit, std::string& reply, const std::string& command) {
  try {
    const char addr = kx6ks::AddressByte(unit);
    const auto wait = std::chrono::milliseconds(std::max(timing.replyWaitMs, 1));
    const auto start = Steady::now();
    const auto total = start + 2 * wait;
    auto deadline = start + wait;
    bool inFrame = false;
    reply.clear();
    auto giveUp = [&](const std::string& why) {
      log_.WriteLog(999, "<6KS.Rep> " + command + " reply " + why);
      reply.clear();
      return 0;
    };
    for (;;) {
      if (overflow_) {
        ring_.Clear();
        overflow_ = false;
        reply.clear();
        return 0;
      }
      char c;
      if (!ring_.Get(c)) {
        const auto now = Steady::now();
        if (inFrame && now >= total) return giveUp(Format("not complete after %zu bytes: given up", reply.size()));
        // Nothing more can come from a closed connection.
        if (now >= deadline || now >= total || !sock_->Connected() || Aborted()) {
          reply.clear();
          return 0;
        }
        loop_.Sleep(1);
        continue;
      }
      if (!inFrame) {
        // Noise before the address byte does not count as an answer.
        if (c == addr) {
          inFrame = true;
          reply.assign(1, c);
        }
        continue;
      }
      deadline = Steady::now() + wait;
      if (c == '\r') break;
      if (reply.size() >= kx6ks::kMaxReplyLen) return giveUp("longer than any template: given up");
      reply += c;
    }
    const std::string code = Copy(reply, 2, 2);
    const int result = kx6ks::ReplyResult(code, command);
    if (result != 1) reply.clear();
    return result;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<6KS.Rep>") + e.what());
    return 0;
  }
}

int TKX6KSLink::HandleTemplatePackages(int unit, const std::string& id12) {
  try {
    std::ifstream in(templateDir + kx6ks::TemplateFileName(id12), std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return 0;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 22) return 0;
    const int fingers = kx6ks::FingerCount(line);
    const int total = kx6ks::kBlocksPerFinger * fingers + 1;
    // Packet numbers travel as two digits, and a short text would leave the
    // device with a truncated template.
    if (fingers < 0 || total > 99 ||
        line.size() < static_cast<size_t>(kx6ks::kHeaderLen + (total - 1) * kx6ks::kBlockLen)) {
      log_.WriteLog(999, "<6KS.HTpack> unusable template file for " + id12);
      return 0;
    }
    std::string reply;
    int code = 0;
    const std::string first = Format("%2.2d00", total) + Copy(line, 1, kx6ks::kHeaderLen);
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!SendFrame(kx6ks::BuildFrame(unit, "WU", first))) return 0;
      code = KT7100Replied(unit, reply, "WU");
      if (code == 1 || code == -1 || Aborted()) break;
    }
    if (code != 1) return code;
    for (int k = 1; k < total; ++k) {
      const std::string data =
          Format("%2.2d%2.2d", total, k) + Copy(line, (k - 1) * kx6ks::kBlockLen + kx6ks::kHeaderLen + 1, kx6ks::kBlockLen);
      if (!SendFrame(kx6ks::BuildFrame(unit, "WU", data))) return 0;
      code = KT7100Replied(unit, reply, "WU");
      if (code != 1) break;
    }
    return code;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<6KS.HTpack>") + e.what());
    return 0;
  }
}

}  // namespace px
