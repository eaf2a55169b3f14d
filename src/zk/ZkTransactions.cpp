#include "zk/ZkTransactions.h"

#include <algorithm>

#include "common/DateTime.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"

namespace px {

namespace {

bool Range(const std::string& text, int pos, int lo, int hi) {
  std::string s = Copy(text, pos, 2);
  if (s.size() != 2 || s[0] < '0' || s[0] > '9' || s[1] < '0' || s[1] > '9') return false;
  int v = (s[0] - '0') * 10 + (s[1] - '0');
  return v >= lo && v <= hi;
}

// The terminal stays disabled from the read of its log until the clear, so
// that nobody clocks in between; whatever happens, it is enabled again while
// the link lasts.
class DisabledTerminal {
public:
  DisabledTerminal(IZKEM& zk, int machine) : zk_(zk), m_(machine), held_(zk.ZkEnableDevice(machine, false)) {}
  ~DisabledTerminal() {
    try {
      Release();
    } catch (...) {
    }
  }
  DisabledTerminal(const DisabledTerminal&) = delete;
  DisabledTerminal& operator=(const DisabledTerminal&) = delete;
  bool Held() const { return held_; }
  void Release() {
    if (held_ && zk_.ZkLinkUp()) zk_.ZkEnableDevice(m_, true);
    held_ = false;
  }

private:
  IZKEM& zk_;
  int m_;
  bool held_;
};

}  // namespace

bool TZkTransactions::ValidTransaction(const std::string& text, int year) {
  if (text.size() > 15) return false;
  if (!Range(text, 1, 1, 31) || !Range(text, 3, 1, 12) || !Range(text, 5, 0, 23) || !Range(text, 7, 0, 59))
    return false;
  std::string user = Copy(text, 9, 6);
  if (user.size() != 6 || user == "000000") return false;
  for (char c : user)
    if (c < '0' || c > '9') return false;
  // 31 April, or 29 February in a year without it, cannot be stored.
  return year <= 0 ||
         DateTime::IsValidDate(year, static_cast<int>(StrToInt(Copy(text, 3, 2))),
                               static_cast<int>(StrToInt(Copy(text, 1, 2))));
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
    mod_.machine = unit % 16;
    return Collect(unit, tag, address, port, skipped);
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.GetTR>") + e.what());
    return false;
  }
}

bool TZkTransactions::Collect(int unit, const std::string& tag, const std::string& address, int port,
                              bool& skipped) {
  IZKEM& zk = *mod_.control;
  const int m = mod_.machine;
  DisabledTerminal hold(zk, m);
  int before = 0;
  if (!hold.Held() || !zk.ZkProbe(m, before) || !zk.ZkReadAllLogs(m)) {
    hold.Release();
    return ReadFailed(tag, address, port);
  }
  std::vector<Read> reads;
  bool corrupt = false;
  if (!ReadRecords(unit, address, reads, corrupt)) return false;

  const std::string source = "ZK" + IPToKey(address);
  IIntakeJournal* journal = mod_.host.Journal();
  if (journal && !unclearedHead_.count(source)) {
    // A log that was journaled but not cleared before the last stop or crash.
    const std::string note = journal->Note(source);
    if (!note.empty()) unclearedHead_[source] = SplitNote(note);
  }
  if (auto head = unclearedHead_.find(source); head != unclearedHead_.end()) {
    const auto& keys = head->second;
    bool same = keys.size() <= reads.size() &&
                std::equal(keys.begin(), keys.end(), reads.begin(), [](const std::string& k, const Read& r) {
                  return !r.save.empty() && k == r.key;
                });
    if (same) {
      for (size_t i = 0; i < keys.size(); ++i) reads[i].stored = true;
    } else {
      unclearedHead_.erase(head);  // the log was cleared since: every record is new
    }
  }
  auto remember = [&] {
    std::vector<std::string> keys;
    for (const Read& r : reads)
      if (!r.save.empty()) keys.push_back(r.key);
    unclearedHead_[source] = std::move(keys);
  };

  if (!corrupt) {
    // A record that arrived during the read would be erased by the clear.
    int after = 0;
    if (!zk.ZkProbe(m, after)) {
      Store(tag, reads, false, 0);
      return ReadFailed(tag, address, port);
    }
    if (after > static_cast<int>(reads.size()) && after > before) {
      mod_.log.WriteLog(10, tag + ": " + IntToStr(after) + " records on the terminal, " +
                                IntToStr(static_cast<long long>(reads.size())) + " read: log kept for the next poll.");
      hold.Release();
      Store(tag, reads, false, 0);
      return true;
    }
  }

  IIntakeJournal::Seq last = 0;
  if (journal) {
    if (!Journal(*journal, source, tag, reads, last)) {
      // Nothing stored and the log kept: the next poll reads it all again.
      hold.Release();
      Store(tag, reads, false, 0);
      if (corrupt) MarkCorrupt(tag);
      skipped = !corrupt;  // the terminal did its part
      return false;
    }
  } else if (!Store(tag, reads, true, 0)) {
    // Records read but not all stored stay on the terminal for the next poll.
    mod_.log.WriteLog(999, tag + ": records not stored, log kept.");
    return false;
  }

  if (corrupt) {
    hold.Release();
    if (journal) Store(tag, reads, true, last);
    remember();
    MarkCorrupt(tag);
    return false;
  }
  bool cleared = zk.ZkClearLogs(m);
  hold.Release();
  if (cleared) {
    unclearedHead_.erase(source);
    if (journal) journal->SetOwed(source, source, false);
  } else {
    remember();
    mod_.log.WriteLog(999, tag + ": log not cleared, " + IntToStr(static_cast<long long>(reads.size())) +
                               " records stay on the terminal.");
  }
  // What does not reach the loop now (a stop) is stored from the journal at the next start.
  if (journal) Store(tag, reads, true, last);
  return cleared;
}

std::vector<std::string> TZkTransactions::SplitNote(const std::string& note) {
  std::vector<std::string> keys(1);
  for (char c : note) {
    if (c == '\x1e') keys.emplace_back();
    else keys.back() += c;
  }
  return keys;
}

bool TZkTransactions::ReadFailed(const std::string& tag, const std::string& address, int port) {
  IZKEM& zk = *mod_.control;
  int count = 0;
  if (zk.ZkProbe(mod_.machine, count)) {
    if (count <= 0) {
      mod_.Debug21(20, "ZK.NoData");
      return true;
    }
    // It answers, but would not hand over the records it holds.
    mod_.log.WriteLog(999, tag + ": log not read, " + IntToStr(count) + " records kept.");
    return false;
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

bool TZkTransactions::ReadRecords(int unit, const std::string& address, std::vector<Read>& out, bool& corrupt) {
  IZKEM& zk = *mod_.control;
  const int m = mod_.machine;
  for (;;) {
    if (mod_.worker.Stopping()) return false;
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
    if (!got) return true;
    mod_.log.WriteLog(30, "F8.Raw = " + Format("%5d %d %d %4d-%2d-%2d %2d:%2d %d", rec.user, rec.verifyMode,
                                                rec.inOutState, rec.year, rec.month, rec.day, rec.hour,
                                                rec.minute, rec.workCode));
    std::string text = Format("%2.2d%2.2d%2.2d%2.2d%6.6d", rec.day, rec.month, rec.hour, rec.minute, rec.user) +
                       DirectionMark(unit, rec.verifyMode, rec.inOutState);
    mod_.log.WriteLog(20, "ZK.Data=" + text);
    Read r;
    r.raw = Format("%3d", unit) + text + " " + address;
    r.key = Format("%d %d %d %d-%d-%d %d:%d:%d %d ", rec.user, rec.verifyMode, rec.inOutState, rec.year, rec.month,
                   rec.day, rec.hour, rec.minute, rec.second, rec.workCode) + rec.userText;
    // A user above 999999 does not fit the six-digit card column: without a
    // mark its seventh digit would be read as the transaction code.
    bool valid = rec.user >= 1 && rec.user <= 999999 && ValidTransaction(text, RecordYear(text, mod_.clock->LocalNow()));
    if (valid) r.save = text + " " + address;
    out.push_back(std::move(r));
    if (!valid) {
      corrupt = true;
      mod_.log.WriteLog(999, address + ": Trans Corrupted: " + text + " - KXF18 set as KXF7 ? Disabled.");
      return true;
    }
  }
}

bool TZkTransactions::Journal(IIntakeJournal& journal, const std::string& source, const std::string& tag,
                              const std::vector<Read>& reads, IIntakeJournal::Seq& last) {
  std::vector<std::string> lines;
  for (const Read& r : reads)
    if (!r.save.empty() && !r.stored) lines.push_back(IZkHost::TerminalLine(tag, r.save));
  last = 0;
  if (lines.empty()) return true;
  // The entry also notes every record the log now holds up to these, so that
  // a crash before the clear does not have them taken again.
  std::string note;
  for (const Read& r : reads)
    if (!r.save.empty()) note += (note.empty() ? "" : "\x1e") + r.key;
  last = journal.AppendNoted(source, lines, source, note);
  if (last == 0) {
    mod_.log.WriteLog(999, tag + ": records not journaled, log kept.");
    return false;
  }
  if (journal.WaitSettled(source, kJournalWait)) return true;
  // Not durable in time: taken back, unless they reached the disk meanwhile;
  // then they are the journal's to store and the log can go.
  if (!journal.Withdraw(last - lines.size() + 1, last)) return true;
  last = 0;
  mod_.log.WriteLog(999, tag + ": journal not synced in time, log kept.");
  return false;
}

bool TZkTransactions::Store(const std::string& tag, const std::vector<Read>& reads, bool rows,
                            IIntakeJournal::Seq seqLast) {
  size_t count = 0;
  for (const Read& r : reads) count += rows && !r.save.empty() && !r.stored;
  IIntakeJournal::Seq seq = seqLast ? seqLast - count + 1 : 0;
  for (size_t from = 0; from < reads.size(); from += kBatch) {
    const size_t to = std::min(reads.size(), from + kBatch);
    std::vector<std::pair<IIntakeJournal::Seq, std::string>> journaled;
    std::vector<const std::string*> saves;
    for (size_t k = from; k < to; ++k) {
      const Read& r = reads[k];
      if (!rows || r.save.empty() || r.stored) continue;
      if (seqLast) journaled.emplace_back(seq++, IZkHost::TerminalLine(tag, r.save));
      else saves.push_back(&r.save);
    }
    bool ok = mod_.OnLoop([&] {
      for (size_t k = from; k < to; ++k) mod_.host.QueueForRawWrite(reads[k].raw);
      for (const std::string* s : saves) mod_.host.Save_Trans(tag, *s);
      if (!journaled.empty()) mod_.host.StoreJournaled(journaled);
    });
    if (!ok) return false;
  }
  return true;
}

void TZkTransactions::MarkCorrupt(const std::string& tag) {
  mod_.OnLoop([&] {
    mod_.host.Save_Trans(tag, mod_.NowStamp() + "      X");
    mod_.host.SetDeviceState(tag, "DOWN");
    mod_.host.SetNoPoll(tag, true);
  });
  mod_.log.WriteLog(999, tag + ": No CLR due to corruption.");
}

}  // namespace px
