#include "web/ApiCommands.h"

#include "clientserver/ClientApi.h"
#include "common/StrUtil.h"
#include "platform/CodePage.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"

namespace px {

namespace {

bool IsOutputCode(const std::string& c) { return c == "ON" || c == "OF" || c == "OT"; }
bool IsInputCode(const std::string& c) { return c == "AR" || c == "DS" || c == "AS" || c == "IS" || c == "IT"; }

}  // namespace

std::string ApiCommands::Target(const std::string& tag, const std::string& code, std::string& type) const {
  auto known = [&](const std::string& t) {
    type.clear();
    if (t.empty()) return false;
    // The same look-ups the routing makes: I/O points for their codes,
    // the controller table for the others.
    if (IsOutputCode(code)) return !ctx_.registry->GetIOTagInfo(kOutputPointTable, t).empty();
    if (IsInputCode(code)) return !ctx_.registry->GetIOTagInfo(kInputPointTable, t).empty();
    std::string record;
    ctx_.registry->GetCtrlAddress(t, type, record);
    return !record.empty();
  };
  if (known(tag)) return tag;
  // Tags are kept in the installations' code page; the path gave UTF-8.
  const std::string local = Win1252::FromUtf8(tag);
  if (local != tag && Win1252::ToUtf8(local) == tag && known(local)) return local;
  return {};
}

ApiCommands::Entry& ApiCommands::Keep(Entry e) {
  if (entries_.size() >= kMaxKept) entries_.pop_front();
  e.id = std::to_string(++seq_) + "-" + e.engineId;
  entries_.push_back(std::move(e));
  return entries_.back();
}

ApiCommandResult ApiCommands::Issue(const std::string& tag, const std::string& code, const std::string& params,
                                    const std::string& operatorName, std::string& id, Clock::time_point now) {
  if (!ctx_.client || !ctx_.registry) return ApiCommandResult::Unavailable;
  std::string type;
  const std::string target = Target(tag, code, type);
  if (target.empty()) return ApiCommandResult::UnknownTag;
  const bool terminal = IsTerminalType(type);
  if (terminal && code != "SC" && code != "AT" && code != "AC" && code != "DC") return ApiCommandResult::NotForDevice;
  Forget(now);
  Entry e;
  e.owner = operatorName;
  e.issued = now;
  if (code == "VN") {
    // A workstation is answered from the registry at once; so is this.
    e.status = {ApiCommandStatus::State::Done, ctx_.registry->GetCtrlSpare(target)};
    e.finished = now;
    e.engineId = "VN";
    id = Keep(std::move(e)).id;
    return ApiCommandResult::Queued;
  }
  if (!ctx_.client->RunCommandFor(operatorName, target, code, params, e.engineId))
    return ctx_.client->CommandBusy() ? ApiCommandResult::Busy : ApiCommandResult::Refused;
  // Terminal outcomes are stored whatever was sent after them.
  e.onlyLastKept = !terminal;
  e.status.state = ApiCommandStatus::State::Pending;
  id = Keep(std::move(e)).id;
  log_.WriteLog(10, "Api: " + code + " for " + target + " from " + operatorName + " queued as " + id);
  return ApiCommandResult::Queued;
}

ApiCommandStatus ApiCommands::Status(const std::string& id, const std::string& operatorName, Clock::time_point now) {
  Forget(now);
  for (Entry& e : entries_) {
    if (e.id != id || e.owner != operatorName) continue;
    if (e.status.state != ApiCommandStatus::State::Pending) return e.status;
    std::string reply;
    if (ctx_.client && ctx_.client->TakeReply(e.engineId, reply)) {
      e.status = {StartsWith(reply, "XX") ? ApiCommandStatus::State::Failed : ApiCommandStatus::State::Done, reply};
      e.finished = now;
    } else if ((e.onlyLastKept && ctx_.client && ctx_.client->LastCommandID() != e.engineId) ||
               now - e.issued >= kKeepFor) {
      e.status = {ApiCommandStatus::State::Failed, ""};
      e.finished = now;
    }
    return e.status;
  }
  return {};
}

void ApiCommands::Forget(Clock::time_point now) {
  // Answers are kept as long as the store keeps a reply; a command never
  // asked about again goes after twice that.
  std::erase_if(entries_, [&](const Entry& e) {
    const bool finished = e.status.state != ApiCommandStatus::State::Pending;
    return now - (finished ? e.finished : e.issued) >= (finished ? kKeepFor : 2 * kKeepFor);
  });
}

}  // namespace px
