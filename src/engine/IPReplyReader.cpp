#include "engine/IPReplyReader.h"

#include "common/StrUtil.h"
#include "engine/Protocol.h"

namespace px {

namespace {
constexpr size_t kHeaderLen = 4;   // code and status A
constexpr size_t kRecordLen = 15;
constexpr size_t kCheckedLen = 7;  // address, code, status A, checksum
}  // namespace

bool VerifyFrameCheckSum(std::string_view text) {
  std::string f = ExtractFrame(text, false);
  if (!f.empty() && f.back() == kCR) f.pop_back();
  const auto len = static_cast<long long>(f.size());
  if (f.size() <= kCheckedLen) return true;
  return Copy(f, len - 1, 2) == ByteSumHex(Copy(f, 4, len - 5));
}

std::string ReplyData(std::string_view frame) {
  const auto len = static_cast<long long>(frame.size());
  return Copy(frame, 4, len - 6);
}

int CountIPPoll(int& failures, bool goodPoll) {
  if (goodPoll) {
    const bool wasDown = failures > 3;
    failures = 0;
    return wasDown ? 1 : 0;
  }
  if (failures >= 4) return 0;
  return failures++ == 3 ? -1 : 0;
}

void ReadIPReplies(std::string_view text, IPReplySink& sink) {
  bool collecting = false, records = false;
  int unit = 0;
  std::string collected, frame;
  for (char c : text) {
    if (static_cast<unsigned char>(c) > kAddressBase) {
      unit = UnitOfAddress(c);
      collecting = true;
      records = false;
      collected.clear();
      frame.assign(1, c);
      continue;
    }
    if (!collecting) continue;
    frame += c;
    if (c == kCR) {
      sink.OnFrameEnd(unit, frame);
      collecting = false;
      continue;
    }
    collected += c;
    if (!records && frame.size() == kHeaderLen + 1) {
      std::string code = collected.substr(0, 2);
      if (code == "QA" || code == "QR") {
        records = true;
        sink.OnPollHeader(unit, code, collected.substr(2, 2));
        collected.clear();
      }
    } else if (records && collected.size() == kRecordLen) {
      sink.OnRecord(unit, collected);
      collected.clear();
    }
  }
}

}  // namespace px
