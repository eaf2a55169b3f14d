#include "engine/IPReceiver.h"

#include "engine/EngineLines.h"
#include "engine/Protocol.h"

namespace px {

TIPReceiver::TIPReceiver(EngineContext& ctx, const std::string& name) : ctx_(ctx), ring_(name, &ctx.log) {}

TIPReceiver::~TIPReceiver() {
  if (cardFile_.is_open()) cardFile_.close();
}

void TIPReceiver::StartExchange(int unit, const std::string& id) {
  Abandon();
  cmdUnit_ = unit;
  cmdId_ = id;
  finder_.SetAnswerUnit(unit);
}

void TIPReceiver::Abandon() {
  if (cardFile_.is_open()) cardFile_.close();
  char s = finder_.State();
  finder_.Reset();
  finder_.SetState(s);
  ring_.Clear();
}

bool TIPReceiver::TakeCardEnd(int& unit) {
  bool end = false;
  char c;
  while (ring_.GetChar(c)) {
    if (static_cast<unsigned char>(c) > kAddressBase)
      unit = UnitOfAddress(c);
    else if (c == kCR)
      end = true;
  }
  return end;
}

void TIPReceiver::Receive(std::string_view bytes) {
  if (bytes.empty()) return;
  std::string ready = finder_.Feed(bytes, *this);
  if (!ready.empty()) ring_.Put(ready);
}

void TIPReceiver::OnCardStart() {
  if (cardFile_.is_open()) cardFile_.close();
  cardFile_.open(ctx_.cfg.appDir + "user.tmp", std::ios::out | std::ios::trunc | std::ios::binary);
  if (!cardFile_.is_open()) ctx_.log.WriteLog(999, "<RCFile> cannot create " + ctx_.cfg.appDir + "user.tmp");
  cardCount_ = 0;
}

void TIPReceiver::OnCardRecord(const std::string& record) {
  ++cardCount_;
  ctx_.putReplyQ(IpCardProgressLine(cmdUnit_, cmdId_, cardCount_));
  if (cardFile_.is_open()) cardFile_ << record << '\n';
}

void TIPReceiver::OnCardEnd() {
  if (cardFile_.is_open()) cardFile_.close();
}

}  // namespace px
