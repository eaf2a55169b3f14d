#include "FinderFuzz.h"

#include <string_view>

#include "common/StrUtil.h"
#include "engine/EngineLines.h"
#include "engine/FrameFinder.h"
#include "engine/Protocol.h"

namespace px::fuzz {

namespace {

struct CheckingSink : FrameSink {
  bool serial = true;
  int starts = 0, ends = 0;
  std::string error;
  std::string* ring = nullptr;
  void OnCardStart() override {
    ++starts;
    ring->clear();  // as the transports do
  }
  void OnCardEnd() override {
    ++ends;
    if (ends > starts) error = "card upload ended without a start";
  }
  void OnCardRecord(const std::string& r) override {
    if (r.size() != FrameFinder::kCardRecordLen) error = "card record of " + std::to_string(r.size()) + " bytes";
    if (serial && r.find('\0') != std::string::npos) error = "NUL collected in a card record";
  }
};

bool ValidState(char s) { return s == 'I' || s == 'W' || s == 'S' || s == 'E' || s == 'C'; }

// Takes a frame apart as the bus and the IP side do; only bounds matter here.
void Interpret(const std::string& f) {
  auto len = static_cast<long long>(f.size());
  std::string data = Copy(f, 4, len - 6);
  (void)ByteSumHex(data);
  (void)SerialReplyOk(f);
  (void)IpReplyText(f);
  (void)DoorStatusText(Copy(f, 4, 2), Copy(f, 4, 6), true);
  for (long long i = 0; i < (len - 8) / 15; ++i) (void)CharAt(Copy(f, 6 + 15 * i, 15), 15);
}

std::string Check(FrameFinder::Rules rules, const uint8_t* data, size_t size) {
  const bool serial = rules == FrameFinder::Rules::Serial;
  FrameFinder finder(rules);
  finder.SetAnswerUnit(size > 0 ? data[0] % 16 + 1 : 1);
  finder.SetState('W');
  CheckingSink sink;
  sink.serial = serial;
  std::string ring;
  sink.ring = &ring;
  size_t i = 0;
  while (i < size) {
    uint8_t control = data[i++];
    if (control & 0x80) {  // a new exchange starts
      ring.clear();
      finder.Reset();
      finder.SetState('W');
    }
    if ((control & 0x40) && finder.CardMode()) finder.AbandonCardUpload();
    size_t n = std::min<size_t>(1 + (control & 0x1F), size - i);
    std::string_view piece(reinterpret_cast<const char*>(data + i), n);
    i += n;
    std::string out = finder.Feed(piece, sink);
    if (!sink.error.empty()) return sink.error;
    if (serial && out.find('\0') != std::string::npos) return "NUL handed to the ring";
    if (!ValidState(finder.State())) return std::string("bad state ") + finder.State();
    if (finder.CardMode() && finder.State() != 'S') return "card mode outside state S";
    if (finder.CarryOver().size() > FrameFinder::kCardRecordLen) return "carry-over grows";
    ring += out;
    if (finder.State() == 'E' || finder.State() == 'C') {
      std::string frame = ExtractFrame(ring, serial);
      if (!frame.empty() && serial && !IsBusAddress(frame[0])) return "frame without address byte";
      if (!frame.empty() && !serial && static_cast<unsigned char>(frame[0]) <= kAddressBase)
        return "frame without address byte";
      if (finder.State() == 'C' && frame.size() != 4) return "card upload end is not address, RC, CR";
      Interpret(frame);
      ring.clear();
      finder.SetState('I');
    }
  }
  return {};
}

}  // namespace

std::string CheckSerialFinder(const uint8_t* data, size_t size) { return Check(FrameFinder::Rules::Serial, data, size); }
std::string CheckIpFinder(const uint8_t* data, size_t size) { return Check(FrameFinder::Rules::Ip, data, size); }

}  // namespace px::fuzz
