#include "zk/ZkCommands.h"

#include "common/StrUtil.h"
#include "platform/Sql.h"

namespace px {

namespace {

bool IsUserNumber(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Field(const DbRows& rows, const char* name) {
  if (rows.rows.empty()) return {};
  for (size_t c = 0; c < rows.columns.size(); ++c)
    if (SameText(rows.columns[c], name)) return c < rows.rows[0].size() ? rows.rows[0][c] : std::string();
  return {};
}

}  // namespace

bool TZkCommands::Send(const ZkCommand& cmd, int& value) {
  try {
    const auto& s = mod_.settings;
    if (!s.MasterF8.empty() && cmd.tag == s.MasterF8) {
      // The master terminal is only read from.
      mod_.log.WriteLog(999, "No operation on MasterUnit: " + s.MasterF8 + " (" + cmd.kind + " " + cmd.user + ")");
      return false;
    }
    std::string address;
    int port = TZkTerminalTable::kDefaultPort;
    TZkTerminalTable::SplitAddress(cmd.address, address, port);
    mod_.log.WriteLog(20, "ZKFP.Send - " + cmd.tag + " - ip=" + address + "  Type=" + cmd.type);
    bool connected = false;
    if (!mod_.SwitchToCurrentF8(cmd.tag, address, connected, port)) {
      mod_.log.WriteLog(999, "Failed to Connect: " + address);
      return false;
    }
    if (!connected) return false;
    mod_.machine = static_cast<int>(StrToIntDef(cmd.unit, 0) % 16);
    mod_.isF18 = cmd.type == "KXF18";
    const int m = mod_.machine;
    IZKEM& zk = *mod_.control;
    bool userCommand = cmd.kind == "DEL" || cmd.kind == "INS" || cmd.kind == "USR";
    if (userCommand && !IsUserNumber(cmd.user)) {
      // It names files and rows below: only digits are taken.
      mod_.log.WriteLog(999, "<ZK.Send> " + cmd.kind + ": user number not valid");
      return false;
    }
    if (cmd.kind == "DEL") return templates_.DeleteTemplate(cmd.tag, cmd.user);
    if (cmd.kind == "INS") {
      if (!templates_.InstallTemplate(cmd.user, value)) {
        if (mod_.isF18 && s.F18Ext) MarkInstError(cmd.tag);
        return false;
      }
      return UpdateCardTZ(static_cast<int>(StrToInt(cmd.user)), cmd.param);
    }
    if (cmd.kind == "USR") {
      int user = static_cast<int>(StrToInt(cmd.user));
      bool ok = zk.ZkSetVerifyStyle(m, user, value);
      mod_.log.WriteLog(10, "USR: " + IntToStr(value) + " sent - dev: " + IntToStr(m) + " C=" + cmd.user +
                                 "  Res=" + BoolStr(ok));
      return ok;
    }
    if (cmd.kind == "DTM") {
      bool ok = zk.ZkSetDeviceTime(m);
      mod_.log.WriteLog(0, std::string("Date/Time - KXF7 sent ") + BoolStr(ok));
      return ok;
    }
    if (cmd.kind == "TMZ") return SendTZTimer(cmd.tag);
    return false;
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.Send>") + e.what());
    return false;
  }
}

bool TZkCommands::SendTZTimer(const std::string& tag) {
  try {
    mod_.log.WriteLog(0, ">> SendTZTimer");
    static const char* const kDays[] = {"Sunday_Timer",   "Monday_Timer", "Tuesday_Timer", "Wednesday_Timer",
                                        "Thursday_Timer", "Friday_Timer", "Saturday_Timer"};
    // The database is read on the loop in one hand-over; the terminal is
    // written afterwards from here.
    std::vector<std::pair<int, std::string>> zones;
    bool found = false;
    bool read = mod_.OnLoop([&] {
      DbRows r;
      if (!mod_.host.Select("select * from rdrmain where tag_name=" + SqlQuote(tag), r) || r.rows.empty()) return;
      found = true;
      for (int n = 1; n <= 10; ++n) {
        std::string name = Field(r, ("Acc_TZ" + IntToStr(n - 1)).c_str());
        if (name == "No Acc") continue;
        DbRows z;
        if (!mod_.host.Select("select * from tzones where tag_name=" + SqlQuote(name), z) || z.rows.empty())
          continue;
        std::string week;
        for (const char* day : kDays) {
          std::string timer = Field(z, day);
          DbRows t;
          if (mod_.host.Select("select * from timers where tag_name=" + SqlQuote(timer), t) && !t.rows.empty()) {
            week += Field(t, "StartTimer1") + Field(t, "EndTimer1");
          } else {
            // A missing day would shift every later day onto the wrong
            // weekday: it is written as no access instead.
            std::string dayName(day, std::string(day).find('_'));
            mod_.log.WriteLog(999, "ZKF7.SendTZTimer.tz=" + IntToStr(n) + ": no timer for " + dayName +
                                        ", no access that day");
            week += "00000000";
          }
        }
        zones.emplace_back(n, week);
      }
    });
    if (!read || !found) return false;
    bool result = false;
    for (const auto& [n, week] : zones) {
      mod_.log.WriteLog(0, "ZKF7.SendTZTimer.tz=" + IntToStr(n) + " : " + week);
      result = SetTimer(n, week);
    }
    return result;
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.SendTZTm>") + e.what());
    return false;
  }
}

bool TZkCommands::SetTimer(int zone, const std::string& week) {
  // The terminal applies written data on a refresh, after each write.
  return mod_.control->ZkSetTimeZone(mod_.machine, zone, week) && mod_.control->ZkRefreshData(mod_.machine);
}

bool TZkCommands::UpdateCardTZ(int user, const std::string& zone) {
  std::string z = Trim(zone);
  long long n = 0;
  if (z.empty()) {
    // An "AC" without zone characters: the user keeps the terminal's own zones.
    mod_.log.WriteLog(10, "ZK.CardTZ: no time zone given for " + IntToStr(user) + ", zones left as they are");
    return true;
  }
  if (!TryStrToInt(z, n) || n < 0 || n > 99) {
    mod_.log.WriteLog(999, "ZK.CardTZ: time zone not valid for " + IntToStr(user));
    return false;
  }
  std::string text = IntToStr(n) + ":" + IntToStr(n) + ":" + IntToStr(n);
  return mod_.control->ZkSetUserTimeZones(mod_.machine, user, text) && mod_.control->ZkRefreshData(mod_.machine);
}

void TZkCommands::MarkInstError(const std::string& tag) {
  mod_.table.MarkReset(tag);
  mod_.log.WriteLog(10, "Mark " + tag + " for Inst.Err");
}

}  // namespace px

