#include "service/Registry.h"

#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "platform/Sql.h"

namespace px {

namespace {
bool IsOldModel(const std::string& t) {
  return t == "KX4100" || t == "KX470" || t == "KX4130" || t == "KX460" || t == "KX4135" ||
         Copy(t, 1, 6) == "KX5800";
}
}  // namespace

ControllerRegistry::ControllerRegistry(const ServiceSettings& settings, ServiceDb& db, ILog& log)
    : settings_(settings), db_(db), log_(log) {}

bool ControllerRegistry::StartUpComm() {
  try {
    if (LoadTranCodes) LoadTranCodes();
    for (auto& b : busOpened_) b = false;
    TQuery& q = db_.Query1;
    if (!db_.RunSQL(q, "select * from rdrmain order by logical_point", true)) {
      // An empty rdrmain is a valid installation; a failed select is not.
      if (!q.Active()) return false;
    }
    struct Row {
      std::string tag, point, spare3, type, state, active;
    };
    std::vector<Row> all;
    for (q.First(); !q.Eof(); q.Next()) {
      all.push_back({q.FieldOr("tag_name"), q.FieldOr("logical_point"), q.FieldOr("spare3"),
                     q.FieldOr("controller_type"), q.FieldOr("state"), q.FieldOr("active")});
    }
    q.Close();
    for (const auto& r : all) {
      if (ctrl_.Count() >= ControllerTable::kMaxRows) break;
      TCtrlRec rec;
      rec.TagName = r.tag;
      rec.LogicalPoint = static_cast<int>(StrToIntDef(r.point, 0));
      rec.Spare.clear();
      rec.IPAddress = Copy(r.spare3, 1, 12);
      rec.CtrlType = r.type;
      rec.Status = "000000";
      if (settings_.SingleSocket) {
        rec.OldModel = IsOldModel(r.type);
        rec.StatusA = "00";
        rec.StatusB = "0000";
        rec.StatusRequest = false;
        rec.RepeatRequest = false;
        rec.DownCount = r.state == "DOWN" ? 4 : 0;
      }
      ctrl_.Add(rec);
      log_.WriteLog(999, IntToStr(ctrl_.Count()) + ": " + rec.TagName + " " + rec.CtrlType + " " + r.point +
                             " " + rec.IPAddress);
      if (settings_.ZKEnable && IsTerminalType(rec.CtrlType) && zk_.size() < 128) {
        ZKCtrlRec z;
        z.LogicalPoint = rec.LogicalPoint;
        z.TagName = rec.TagName;
        z.IPAddress = rec.IPAddress;
        z.Address = Trim(r.spare3);
        z.CtrlType = rec.CtrlType;
        z.IsDown = r.state == "DOWN";
        z.Active = r.active == "Y";
        zk_.push_back(z);
      }
      bool active = r.active == "Y";
      if (rec.IPAddress.empty()) {
        int point = rec.LogicalPoint;
        if (point < 1 || point > 128) {
          log_.WriteLog(999, "Logical point " + r.point + " of " + rec.TagName +
                                 " is outside 1..128: no serial bus for it");
          continue;
        }
        int bus = BusOfPoint(point), unit = UnitOfPoint(point);
        int port = settings_.MultiCommSupport ? settings_.BusPort[bus] : settings_.CommPort;
        if (!busOpened_[bus] && engine_) {
          if (engine_->SpawnAccessComm(bus, settings_.BaudRate, port)) {
            log_.WriteLog(20, "  SpawnCM OK: COM" + IntToStr(port) + "  Bus" + IntToStr(bus) + " OK");
            busOpened_[bus] = true;
          }
        }
        if (engine_) engine_->EnableCtrl(bus, unit, active);
        log_.WriteLog(10, "SRCtrl: B=" + IntToStr(bus) + " U=" + IntToStr(unit) + " Active=" + BoolStr(active));
      } else if (!IsTerminalType(rec.CtrlType) && !settings_.SingleSocket) {
        std::string dotted = KeyToIP(rec.IPAddress);
        if (engine_ && engine_->SpawnIPCtrl(r.state == "DOWN", active, settings_.IPPort, rec.CtrlType, dotted,
                                            rec.LogicalPoint))
          log_.WriteLog(20, "  SpawnIP OK: IP:" + dotted);
      }
    }
    if (settings_.ZKEnable && CreateZKModule) CreateZKModule();
    // The template server module is there whichever module runs: the engine
    // hands it the card commands of fingerprint controllers also beside the
    // terminal module, and when it is off it answers template jobs itself.
    if (CreateTemplateServerModule) CreateTemplateServerModule();
    if (!settings_.ZKEnable && settings_.KX6KSEnable) log_.WriteLog(999, "KX6KS Created.");
    if (settings_.SingleSocket && engine_) engine_->StartSingleSocket();
    return true;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<StartC>") + e.what());
    return false;
  }
}

void ControllerRegistry::SetActiveCtrl() {
  try {
    TQuery& q = db_.Query1;
    db_.RunSQL(q, "select * from rdrmain order by logical_point", true);
    struct Row {
      std::string type, ip, active;
      int point;
    };
    std::vector<Row> rows;
    for (q.First(); !q.Eof(); q.Next())
      rows.push_back({q.FieldOr("Controller_Type"), Trim(Copy(q.FieldOr("spare3"), 1, 12)), q.FieldOr("active"),
                      static_cast<int>(StrToIntDef(q.FieldOr("logical_point"), 0))});
    q.Close();
    for (const auto& r : rows) {
      bool active = r.active == "Y";
      int unit = UnitOfPoint(r.point);
      if (!r.ip.empty() && IsTerminalType(r.type)) {
        ZK_EnableCtrl(r.ip, unit, active);
      } else if (!r.ip.empty()) {
        std::string dotted = KeyToIP(r.ip);
        if (engine_) engine_->EnableIPCtrl(dotted, unit, active);
        log_.WriteLog(10, "IPCtrl: IP=" + dotted + " U=" + IntToStr(unit) + " Active=" + BoolStr(active));
      } else {
        if (r.point < 1 || r.point > 128) continue;
        int bus = BusOfPoint(r.point);
        if (engine_) engine_->EnableCtrl(bus, unit, active);
        log_.WriteLog(10, "SRCtrl: B=" + IntToStr(bus) + " U=" + IntToStr(unit) + " Active=" + BoolStr(active));
      }
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<SetAct>") + e.what());
  }
}

void ControllerRegistry::ZK_EnableCtrl(const std::string& ip, int, bool active) {
  for (auto& z : zk_) {
    if (z.IPAddress == ip) {
      z.Active = active;
      log_.WriteLog(10, "ZK: " + ip + " Active=" + BoolStr(active));
      return;
    }
  }
}

void ControllerRegistry::SetNoPoll(const std::string& tag, bool flag) {
  try {
    for (auto& z : zk_) {
      if (z.TagName == tag) {
        z.NoPoll = flag;
        log_.WriteLog(10, "ZK: " + tag + " Set NoPoll=" + BoolStr(flag));
        return;
      }
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<ZKNoPoll>") + e.what());
  }
}

bool ControllerRegistry::IsNoPoll(const std::string& tag) {
  try {
    for (auto& z : zk_)
      if (z.TagName == tag) return z.NoPoll;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<ZK.IsNP>") + e.what());
  }
  return false;
}

void ControllerRegistry::SetDeviceState(const std::string& tag, const std::string& state) {
  db_.RunSQL(db_.Query1, "update rdrmain set state=" + SqlQuote(state) + " where tag_name=" + SqlQuote(tag), false);
  db_.RunSQL(db_.Query1, "update flrdet set state=" + SqlQuote(state) + " where point_tag=" + SqlQuote(tag), false);
  if (OnDeviceState) OnDeviceState(tag, state);
}

std::string ControllerRegistry::GetIOTagInfo(const std::string& table, const std::string& tag) {
  std::string result;
  // The table name comes from our own constants, never from a client.
  if (db_.RunSQL(db_.Query1,
                 "select * from rdrmain where tag_name in  (select AttachDevice from " + table +
                     " where tag_name=" + SqlQuote(tag) + ")",
                 true)) {
    result = Format("%4.4d", static_cast<int>(StrToIntDef(db_.Query1.FieldOr("logical_point"), 0))) +
             Copy(db_.Query1.FieldOr("spare3"), 1, 12);
  }
  db_.Query1.Close();
  return result;
}

bool ControllerRegistry::GetNextCtrl(int& point, std::string& tag, std::string& ip) {
  if (ctrl_.Count() == 0) return false;
  ctrlPollIndex_ = ctrlPollIndex_ >= ctrl_.Count() ? 1 : ctrlPollIndex_ + 1;
  const auto& r = ctrl_[ctrlPollIndex_];
  point = r.LogicalPoint;
  tag = r.TagName;
  ip = r.IPAddress;
  return true;
}

bool ControllerRegistry::GetNextKXF7(int& point, std::string& tag, std::string& ip) {
  if (zk_.empty()) return false;
  int n = static_cast<int>(zk_.size());
  zkPollIndex_ = zkPollIndex_ >= n ? 1 : zkPollIndex_ + 1;
  const auto& z = zk_[static_cast<size_t>(zkPollIndex_ - 1)];
  point = z.LogicalPoint;
  tag = z.TagName;
  ip = z.Address.empty() ? z.IPAddress : z.Address;
  return z.Active && !z.NoPoll;
}

std::string ControllerRegistry::ZkAddress(const std::string& tag) const {
  for (const auto& z : zk_)
    if (z.TagName == tag) return z.Address.empty() ? z.IPAddress : z.Address;
  return {};
}

bool ControllerRegistry::ClearDeviceDownCount(const std::string& tag, std::chrono::system_clock::time_point when) {
  bool wasDown = false;
  for (auto& z : zk_) {
    if (z.TagName != tag) continue;
    z.DownCount = 0;
    z.LastGoodPoll = when;
    if (z.IsDown) {
      z.IsDown = false;
      wasDown = true;
    }
  }
  return wasDown;
}

bool ControllerRegistry::IncDeviceDownCount(const std::string& tag) {
  for (auto& z : zk_) {
    if (z.TagName != tag) continue;
    if (z.DownCount < 1000) z.DownCount += 1;
    if (z.DownCount >= settings_.DeviceDownCount && !z.IsDown) {
      z.IsDown = true;
      return true;
    }
  }
  return false;
}

const TCtrlRec* ControllerRegistry::FindCtrl(const std::string& tag) const {
  for (int i = 1; i <= ctrl_.Count(); ++i)
    if (ctrl_[i].TagName == tag) return &ctrl_[i];
  return nullptr;
}

TCtrlRec* ControllerRegistry::FindCtrl(const std::string& tag) {
  return const_cast<TCtrlRec*>(static_cast<const ControllerRegistry*>(this)->FindCtrl(tag));
}

std::string ControllerRegistry::LookupTag(const std::string& ip, int point) const {
  for (int i = 1; i <= ctrl_.Count(); ++i)
    if (ctrl_[i].LogicalPoint == point && ctrl_[i].IPAddress == ip) return ctrl_[i].TagName;
  return {};
}

bool ControllerRegistry::SetCtrlStatus(const std::string& tag, const std::string& status) {
  try {
    if (status.size() != 6) return false;
    if (auto* r = FindCtrl(tag)) {
      r->Status = status;
      return true;
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<SetStatus>") + e.what());
  }
  return false;
}

bool ControllerRegistry::GetCtrlStatus(const std::string& tag, std::string& status) {
  status.clear();
  const auto* r = FindCtrl(tag);
  if (!r) return false;
  status = r->Status;
  if (status.size() == 6) return true;
  log_.WriteLog(10, "Corrupted ctrl status: " + tag + " [" + status + "]");
  return false;
}

void ControllerRegistry::GetCtrlAddress(const std::string& tag, std::string& type, std::string& address) const {
  type.clear();
  address.clear();
  if (const auto* r = FindCtrl(tag)) {
    type = r->CtrlType;
    address = Format("%4.4d%12s", r->LogicalPoint, r->IPAddress.c_str());
  }
}

std::string ControllerRegistry::GetCtrlSpare(const std::string& tag) const {
  const auto* r = FindCtrl(tag);
  return r ? r->Spare : std::string();
}

}  // namespace px
