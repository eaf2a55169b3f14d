#include "zk/ZkTransactions.h"

#include <vector>

#include "common/DateTime.h"
#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {

bool Range(const std::string& text, int pos, int lo, int hi) {
  std::string s = Copy(text, pos, 2);
  if (s.size() != 2 || s[0] < '0' || s[0] > '9' || s[1] < '0' || s[1] > '9') return false;
  int v = (s[0] - '0') * 10 + (s[1] - '0');
  return v >= lo && v <= hi;
}

struct Pending {
  std::string raw, save;
};

}  // namespace

bool TZkTransactions::ValidTransaction(const std::string& text) {
  if (text.size() > 15) return false;
  if (!Range(text, 1, 1, 31) || !Range(text, 3, 1, 12) || !Range(text, 5, 0, 23) || !Range(text, 7, 0, 59))
    return false;
  std::string user = Copy(text, 9, 6);
  if (user.size() != 6 || user == "000000") return false;
  for (char c : user)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string TZkTransactions::DirectionMark(int unit, int verifyMode, int inOutState) const {
  if (inOutState == 7) return "7";
  if (!mod_.settings.F18Ext) return inOutState == 255 ? "7" : "";
  if (mod_.settings.EvenUnitAsExit && unit % 2 == 0) return "9";
  return verifyMode == 101 ? "9" : "0";
}

bool TZkTransactions::GetTransactions(int unit, const std::string& tag, const std::string& rawAddress,
                                      bool& skipped) {
  skipped = false;
  try {
    std::string address;
    int port = TZkTerminalTable::kDefaultPort;
    TZkTerminalTable::SplitAddress(rawAddress, address, port);
    mod_.Debug21(20, "ZKF7.GetTrans: " + address + " unit_no=" + IntToStr(unit));
    bool connected = false;
    if (!mod_.SwitchToCurrentF8(tag, address, connected, port)) {
      skipped = mod_.switchSkipped;
      mod_.log.WriteLog(999, "Failed to Connect: " + address + ", P=" + IntToStr(port));
      return false;
    }
    if (!connected) {
      skipped = mod_.switchSkipped;
      mod_.log.WriteLog(0, tag + " - Poll Error");
      return false;
    }
    IZKEM& zk = *mod_.control;
    mod_.machine = unit % 16;
    const int m = mod_.machine;
    if (!zk.ZkReadAllLogs(m)) {
      int probe = 0;
      if (zk.ZkProbe(m, probe)) {
        mod_.Debug21(20, "ZK.NoData");
        return true;
      }
      int i = mod_.table.Find(address, port);
      if (i > 0) {
        ZkTerminal& t = mod_.table[i];
        bool was;
        {
          std::lock_guard lk(mod_.table.Lock());
          was = t.connected;
          if (was) {
            t.connected = false;
            t.retryWait = mod_.settings.RetryWaitSec;
          }
        }
        if (was)
          mod_.log.WriteLog(0, tag + ": Network disconnect - " + address + " Retry in " +
                                    IntToStr(mod_.settings.RetryWaitSec) + " sec.");
      }
      return false;
    }

    std::vector<Pending> batch;
    bool handedOver = true;
    auto flush = [&] {
      if (batch.empty() || !handedOver) return;
      handedOver = mod_.OnLoop([&] {
        for (const auto& p : batch) {
          mod_.host.QueueForRawWrite(p.raw);
          if (!p.save.empty()) mod_.host.Save_Trans(tag, p.save);
        }
      });
      batch.clear();
    };
    bool corrupt = false;
    for (;;) {
      ZkLogRecord rec;
      bool got;
      if (mod_.isF18) {
        got = zk.ZkNextLogRecordSSR(m, rec);
        mod_.log.WriteLog(20, "F18.SSR_GetLog");
        if (got) {
          // A user text that is not a number cannot be stored: it reads as 0
          // and the record is reported corrupt below.
          long long v = 0;
          rec.user = TryStrToInt(Trim(rec.userText), v) && v >= 0 && v <= 0x7fffffff ? static_cast<int>(v) : 0;
        }
      } else {
        got = zk.ZkNextLogRecord(m, rec);
        mod_.log.WriteLog(20, "F8.GetLog");
        rec.workCode = 0;
      }
      if (!got) break;
      mod_.log.WriteLog(30, "F8.Raw = " + Format("%5d %d %d %4d-%2d-%2d %2d:%2d %d", rec.user, rec.verifyMode,
                                                  rec.inOutState, rec.year, rec.month, rec.day, rec.hour,
                                                  rec.minute, rec.workCode));
      std::string mark = DirectionMark(unit, rec.verifyMode, rec.inOutState);
      std::string text =
          Format("%2.2d%2.2d%2.2d%2.2d%6.6d", rec.day, rec.month, rec.hour, rec.minute, rec.user) + mark;
      mod_.log.WriteLog(20, "ZK.Data=" + text);
      Pending p{Format("%3d", unit) + text + " " + address, {}};
      // A user above 999999 does not fit the six-digit card column: without a
      // mark its seventh digit would be read as the transaction code.
      if (rec.user >= 1 && rec.user <= 999999 && ValidTransaction(text)) {
        p.save = text + " " + address;
        batch.push_back(std::move(p));
        if (batch.size() >= kBatch) flush();
        if (!handedOver) break;
        continue;
      }
      batch.push_back(std::move(p));
      flush();
      corrupt = true;
      mod_.log.WriteLog(999, address + ": Trans Corrupted: " + text + " - KXF18 set as KXF7 ? Disabled.");
      handedOver = handedOver && mod_.OnLoop([&] {
        mod_.host.Save_Trans(tag, mod_.NowStamp() + "      X");
        mod_.host.SetDeviceState(tag, "DOWN");
        mod_.host.SetNoPoll(tag, true);
      });
      break;
    }
    flush();
    if (!handedOver) {
      // Records read but not stored stay on the terminal for the next poll.
      mod_.log.WriteLog(999, tag + ": records not stored, log kept.");
      return false;
    }
    if (corrupt) {
      mod_.log.WriteLog(999, tag + ": No CLR due to corruption.");
      return false;
    }
    zk.ZkClearLogs(m);
    return true;
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.GetTR>") + e.what());
    return false;
  }
}

}  // namespace px
