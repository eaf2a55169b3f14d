#include "service/PeriodicJobs.h"

#include <memory>

#include "clientserver/ClientApi.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineApi.h"
#include "events/EventStreamApi.h"
#include "service/AttendanceApi.h"
#include "service/Registry.h"
#include "service/ServiceLog.h"
#include "service/Settings.h"
#include "service/TransStoreApi.h"
#include "zk/ZkApi.h"
#include "common/Counters.h"

namespace px {

PeriodicJobs::PeriodicJobs(ServiceContext& ctx)
    : ctx_(ctx), zkPollCountdown_(ctx.settings ? ctx.settings->ZKSleepSec * 5 : 10) {}

void PeriodicJobs::RunTimer1Work() {
  if (ctx_.store) ctx_.store->CheckThCommTrans();
  if (ctx_.events) ctx_.events->AfterStorageTick();
  if (ctx_.client) {
    std::string line;
    if (ctx_.client->Queue_GetCommand(line) == 0) ctx_.client->Queue_ExecCommand(line);
  }
  CheckControllerClocks();
  if (ctx_.settings->ZKEnable) RunZKStep();
}

void PeriodicJobs::CheckControllerClocks() {
  const auto& s = *ctx_.settings;
  if (s.DailyUpdateCtrlHHMM.empty()) return;
  DateTime now = ctx_.clock->LocalNow();
  std::string m = FormatDateTime("nn", now);
  if (m == lastClockMinute_) return;
  lastClockMinute_ = m;
  if (s.UpdateCtrlDTMin > 0) {
    if (DateTime::MinutesBetween(lastPeriodicUpdate_, now) >= s.UpdateCtrlDTMin) {
      ctx_.log->WriteLog(10, "periodic (" + IntToStr(s.UpdateCtrlDTMin) + ") update ctrl date/time starts ...");
      UpdateAllControllerTime();
      lastPeriodicUpdate_ = now;
    }
  } else if (FormatDateTime("hhnn", now) == s.DailyUpdateCtrlHHMM) {
    UpdateAllControllerTime();
  }
}

void PeriodicJobs::UpdateAllControllerTime() {
  const auto& table = ctx_.registry->CtrlTable();
  for (int i = 1; i <= table.Count(); ++i) {
    const auto& r = table[i];
    if (r.CtrlType == "KXF7") continue;
    int bus = BusOfPoint(r.LogicalPoint), unit = UnitOfPoint(r.LogicalPoint);
    std::string ip = KeyToIP(r.IPAddress);
    std::string reply;
    if (ctx_.client) {
      ctx_.client->RunCommCommand("DATTM", bus, unit, ip, "", reply);
    } else if (ctx_.engine) {
      ctx_.engine->SendCommand("DATTM", bus, unit, reply, "", ip);
    }
  }
}

void PeriodicJobs::RunZKStep() {
  if (!ctx_.zk) return;
  // One terminal job at a time: while a poll or command is still out on the
  // terminal worker, this tick starts nothing (the countdown waits too).
  if (ctx_.zk->Busy()) return;
  IZKModule* zk = ctx_.zk;
  ZkCommand cmd;
  if (zk->SendQGet(cmd)) {
    auto ok = std::make_shared<bool>(false);
    bool f18ext = ctx_.settings->F18Ext;
    bool started = zk->RunOffLoop(
        [zk, cmd, ok, f18ext] {
          int value = 0;
          *ok = zk->Send(cmd, value);
          if (*ok && value > 127 && cmd.type == "KXF18" && f18ext) {
            ZkCommand usr = cmd;
            usr.kind = "USR";
            zk->Send(usr, value);
          }
        },
        [this, cmd, ok] {
          if (ctx_.client) ctx_.client->PutReplyByID(cmd.id, *ok ? "OK" : "XX");
        });
    if (!started && ctx_.client) ctx_.client->PutReplyByID(cmd.id, "XX");
    return;
  }
  if (zkPollCountdown_ > 0) --zkPollCountdown_;
  if (zkPollCountdown_ != 0) return;
  zkPollCountdown_ = ctx_.settings->ZKSleepSec * 5;
  int point = 0;
  std::string tag, ip;
  if (!ctx_.registry->GetNextKXF7(point, tag, ip)) return;
  ProcessCounters::Add(Counters().terminalPolls);
  struct Poll {
    bool ok = false, skipped = false;
  };
  auto poll = std::make_shared<Poll>();
  zk->RunOffLoop([zk, point, tag, ip, poll] { poll->ok = zk->GetTransactions(point, tag, ip, poll->skipped); },
                 [this, tag, poll] { FinishZKPoll(tag, poll->ok, poll->skipped); });
}

void PeriodicJobs::FinishZKPoll(const std::string& tag, bool ok, bool skipped) {
  std::string now = FormatDateTime("ddmmhhnn", ctx_.clock->LocalNow());
  if (ok) {
    if (ctx_.registry->ClearDeviceDownCount(tag, ctx_.clock->Now())) {
      if (ctx_.store) ctx_.store->Save_Trans(tag, now + "      Y");
      ctx_.registry->SetDeviceState(tag, "UP");
      ctx_.log->WriteLog(10, "F8/F18 UP Y - " + tag);
    }
  } else if (skipped) {
    // Waiting out a retry is not a failed poll: only real connect and read
    // failures count towards DOWN.
  } else if (ctx_.registry->IncDeviceDownCount(tag)) {
    if (ctx_.store) ctx_.store->Save_Trans(tag, now + "      X");
    ctx_.registry->SetDeviceState(tag, "DOWN");
    ctx_.log->WriteLog(10, "F8/F18 DOWN X - " + tag);
  }
}

void PeriodicJobs::RunTimer2Work() {
  DateTime now = ctx_.clock->LocalNow();
  if (StartsWith(FormatDateTime("hhnnss", now), "0000")) ctx_.log->RecomputeFileName();
  bool pending = ctx_.engine && ctx_.engine->Queue_IPCommandPending();
  if (!pending && !ctx_.ReproList.empty()) {
    std::string e = ctx_.ReproList.front();
    ctx_.ReproList.pop_front();  // removed whatever the library makes of it
    std::string from = Copy(e, 1, 8), to = Copy(e, 9, 8), staff = Trim(Copy(e, 17, 12));
    ctx_.log->WriteLog(20, "Repro: " + from + ", " + to + ", " + staff);
    if (ctx_.arq) ctx_.arq->ARQProcess(from, to, staff);
  }
}

}  // namespace px
