#include "engine/FrameFinder.h"

#include "engine/Protocol.h"

namespace px {

bool FrameFinder::StartsFrame(unsigned char b) const {
  return rules_ == Rules::Serial ? IsBusAddress(static_cast<char>(b)) : b > kAddressBase;
}

std::string FrameFinder::Feed(std::string_view piece, FrameSink& sink) {
  std::string out;
  bool crSeen = false;
  for (char ch : piece) {
    auto b = static_cast<unsigned char>(ch);
    if (StartsFrame(b)) {
      // A new address byte always begins a new frame. A complete frame
      // collected so far is handed on; an unfinished one was cut off.
      if (!cardMode_ && collected_.find(kCR) != std::string::npos) out += collected_;
      state_ = 'S';
      cardMode_ = false;
      header_ = false;
      collected_.assign(1, ch);
      continue;
    }
    if (b == 0 && rules_ == Rules::Serial) {
      sink.OnNul();
      continue;
    }
    if (state_ != 'S') continue;
    collected_ += ch;
    if (ch == kCR) crSeen = true;
    if (!header_ && collected_.size() == kHeaderLen) {
      header_ = true;
      if (collected_.compare(1, 2, "RC") == 0) {
        // The unit now streams its card list; a frame finished earlier in
        // this piece can no longer be answered and is not handed on.
        cardMode_ = true;
        collected_.clear();
        out.clear();
        sink.OnCardStart();
        continue;
      }
    }
    // IP: the frame ends at its CR; what follows in the piece is dropped
    // unless it starts a new frame.
    if (ch == kCR && rules_ == Rules::Ip) {
      EndFrame(sink);
      continue;
    }
    if (cardMode_ && ch != kCR && collected_.size() == kCardRecordLen) {
      sink.OnCardRecord(collected_);
      collected_.clear();
    }
  }
  // Serial: the frame ends once the piece has been worked through.
  if (crSeen && rules_ == Rules::Serial) EndFrame(sink);
  // Held back until the header is complete (a complete frame is always
  // handed on) and for the whole of a card upload.
  if (cardMode_ || (!header_ && !crSeen)) return out;
  out += collected_;
  collected_.clear();
  return out;
}

void FrameFinder::EndFrame(FrameSink& sink) {
  state_ = 'E';
  if (!cardMode_) return;
  collected_.assign(1, UnitAddress(answerUnit_));
  collected_ += "RC";
  collected_ += kCR;
  cardMode_ = false;
  sink.OnCardEnd();
  state_ = 'C';
}

void FrameFinder::AbandonCardUpload() {
  cardMode_ = false;
  collected_.clear();
}

void FrameFinder::Reset() {
  state_ = 'I';
  header_ = false;
  cardMode_ = false;
  collected_.clear();
}

}  // namespace px
