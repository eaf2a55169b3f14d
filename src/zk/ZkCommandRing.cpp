#include "zk/ZkCommandRing.h"

#include <utility>

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {

struct Column {
  const char* name;
  int width;
};
constexpr Column kTag{"tag", 12}, kAddress{"address", 21}, kUnit{"unit", 4}, kKind{"kind", 6},
    kUser{"user", 10}, kParam{"parameter", 2}, kId{"id", 9}, kType{"type", 10};

}  // namespace

TZkCommandRing::TZkCommandRing(ILog& log, std::shared_ptr<Clock> clock)
    : log_(log), clock_(std::move(clock)), ring_(kSlots, "ZK command queue", &log) {}

bool TZkCommandRing::SendQPut(const std::string& tag, const std::string& address, std::string& id,
                              const std::string& type, const std::string& param, const std::string& user,
                              const std::string& kind, const std::string& unit) {
  id = FormatDateTime("hhnnsszzz", clock_->LocalNow());
  const std::pair<Column, const std::string*> fields[] = {{kTag, &tag},     {kAddress, &address}, {kUnit, &unit},
                                                          {kKind, &kind},   {kUser, &user},       {kParam, &param},
                                                          {kId, &id},       {kType, &type}};
  std::string line;
  for (const auto& [col, value] : fields) {
    bool control = false;
    for (unsigned char c : *value) control = control || c < 0x20 || c == 0x7f;
    if (value->size() > static_cast<size_t>(col.width) || control) {
      // The value itself is not logged: it may be client text.
      log_.WriteLog(999, std::string("<ZK.QPut> ") + col.name + " of " + IntToStr(static_cast<long long>(value->size())) +
                             " characters does not fit its column of " + IntToStr(col.width) +
                             " or holds a control character: command refused");
      return false;
    }
    line += PadLeft(*value, static_cast<size_t>(col.width));
  }
  // A full ring refuses the command; the client hears "XX" at once.
  return ring_.Put(std::move(line));
}

bool TZkCommandRing::SendQGet(ZkCommand& cmd) {
  std::string line;
  if (!ring_.Get(line)) return false;
  int pos = 1;
  auto take = [&](const Column& c) {
    std::string v = Copy(line, pos, c.width);
    pos += c.width;
    return v;
  };
  cmd.tag = Trim(take(kTag));
  cmd.address = Trim(take(kAddress));
  cmd.unit = Trim(take(kUnit));
  cmd.kind = Trim(take(kKind));
  cmd.user = Trim(take(kUser));
  cmd.param = take(kParam);
  cmd.id = take(kId);
  cmd.type = Trim(take(kType));
  return true;
}

}  // namespace px
