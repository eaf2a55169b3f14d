#pragma once
#include <fstream>
#include <string>
#include <string_view>

#include "engine/ByteRing.h"
#include "engine/EngineContext.h"
#include "engine/FrameFinder.h"

namespace px {

// The receiving half of an IP connection, shared by the channels and the
// single socket: the frame finder on the IP rules, the receive ring and the
// card upload into "user.tmp" with its progress lines. The finder's state
// character is the transport's state.
class TIPReceiver : private FrameSink {
public:
  TIPReceiver(EngineContext& ctx, const std::string& name);
  ~TIPReceiver() override;

  char State() const { return finder_.State(); }
  void SetState(char s) { finder_.SetState(s); }
  bool CardMode() const { return finder_.CardMode(); }
  int CardCount() const { return cardCount_; }
  ByteRing& Ring() { return ring_; }

  // A new exchange starts: what is left of an earlier one (a late or broken
  // answer) must not be taken for its answer. `unit` and `id` name the
  // command a card upload would answer.
  void StartExchange(int unit, const std::string& id);
  // Works one received piece through the frame rules (CSock1Read).
  void Receive(std::string_view bytes);
  // Gives up whatever was being received: card file closed, ring emptied.
  void Abandon();
  // Reads the end of a card upload out of the ring (state "C"): true when
  // its CR is there; `unit` becomes that of the address byte before it.
  bool TakeCardEnd(int& unit);

private:
  void OnCardStart() override;
  void OnCardRecord(const std::string& record) override;
  void OnCardEnd() override;

  EngineContext& ctx_;
  FrameFinder finder_{FrameFinder::Rules::Ip};
  ByteRing ring_;
  std::ofstream cardFile_;
  int cardCount_ = 0;
  int cmdUnit_ = 0;
  std::string cmdId_;
};

}  // namespace px
