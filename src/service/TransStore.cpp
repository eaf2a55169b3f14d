#include "service/TransStore.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "clientserver/ClientApi.h"
#include "common/ControllerTable.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineApi.h"
#include "monitor/TransOnlineForm.h"
#include "platform/Sql.h"
#include "service/Registry.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"
#include "common/Counters.h"

namespace px {

namespace {
bool IsCardCode(const std::string& code) { return code.size() == 1 && Contains("01236789", code); }

// "ddmmhhmm", six digits, then the blank before the terminal's address.
bool IsUnmarkedTerminalRecord(const std::string& record) {
  if (record.size() < 16 || record[14] != ' ') return false;
  for (size_t i = 8; i < 14; ++i)
    if (record[i] < '0' || record[i] > '9') return false;
  return true;
}

// A terminal record without a direction mark still names its holder; it
// only writes no attendance row.
bool HolderWanted(const std::string& code, const std::string& record) {
  return IsCardCode(code) || IsUnmarkedTerminalRecord(record);
}

// Two decimal digits at a 1-based position; anything else is bad input.
int TwoDigits(const std::string& record, int pos, const char* what) {
  std::string s = Copy(record, pos, 2);
  if (s.size() != 2 || s[0] < '0' || s[0] > '9' || s[1] < '0' || s[1] > '9')
    throw std::invalid_argument(std::string("Invalid ") + what + " in record [" + record + "]");
  return (s[0] - '0') * 10 + (s[1] - '0');
}
}  // namespace

TTransStore::TTransStore(ServiceContext& ctx, ILog& log)
    : ctx_(ctx),
      log_(log),
      raw_(*ctx.settings, log),
      writer_(*ctx.db, log, ctx.clock, ctx.settings->AppDir + kSpoolFile),
      journal_(ctx.journal) {
  writer_.ResolveDeferred = [this](SpoolEntry& e, std::vector<std::string>& row, std::function<void()>& after) {
    return ResolveDeferred(e, row, after);
  };
  writer_.OnAttendanceStored = [this](const std::vector<std::string>& row) { QueueRepro(row); };
  writer_.DescribeCode = [this](const std::string& code) { return GetTranStr(code); };
}

TTransStore::~TTransStore() = default;

bool TTransStore::Terminating() const { return ctx_.Terminated || ctx_.Stopping || ctx_.ServiceStopping; }

std::string TTransStore::NowRecord(char code) const { return FormatDateTime("ddmmhhnn", Now()) + "      " + code; }

// ---- engine lines ----

void TTransStore::CheckThCommTrans() {
  const auto start = std::chrono::steady_clock::now();
  // Rows waiting for their database go first, so that they keep their order.
  writer_.Replay();
  CheckSpool();
  try {
    StatusQuery();
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<ChkTHC>") + e.what());
    return;
  }
  const long long interval = ctx_.settings ? std::max(ctx_.settings->QCheckInterval, 20) : 200;
  const auto budget =
      std::min<std::chrono::milliseconds>(std::chrono::milliseconds(interval * kBacklogPercent / 100), kMaxTickStore);
  if (!replay_.empty()) {
    // Lines read back from the journal go before any new one.
    ReplayJournal(start + budget);
    CheckSpool();
    return;
  }
  if (!ctx_.engine) return;
  TakeLines(start + budget, false);
  CheckSpool();
}

void TTransStore::HandleIntake(const std::string& line, IIntakeJournal::Seq seq, TransRowWriter::Intake in) {
  if (seq && in.source.empty() && journal_) in.source = journal_->SourceOf(seq);
  if (in.source.empty()) in.seq = 0;  // no mark without its source
  writer_.SetIntake(in);
  keepLine_ = false;
  try {
    HandleLine(line);
  } catch (const std::exception& e) {
    // That line is lost; the next ones are still handled.
    log_.WriteLog(999, std::string("<ChkTHC>") + e.what());
  }
  writer_.ClearIntake();
  if (seq && !keepLine_) tickSeqs_.push_back(seq);
}

void TTransStore::SettleTick() {
  if (!journal_) {
    tickSeqs_.clear();
    return;
  }
  if (!writer_.Spool().Healthy()) {
    // Their rows wait in memory only: the journal keeps the lines meanwhile.
    unsettled_.insert(unsettled_.end(), tickSeqs_.begin(), tickSeqs_.end());
    tickSeqs_.clear();
    return;
  }
  for (auto s : unsettled_) journal_->Consumed(s);
  for (auto s : tickSeqs_) journal_->Consumed(s);
  unsettled_.clear();
  tickSeqs_.clear();
}

bool TTransStore::TakeLines(std::chrono::steady_clock::time_point until, bool atStop) {
  writer_.BeginTick();
  int taken = 0;
  bool more = true;
  while (atStop || !Terminating()) {
    if ((atStop || taken >= kLinesPerTick) && std::chrono::steady_clock::now() >= until) break;
    // At a stop the first database failure ends the storing: what is left
    // stays in the journal rather than wait out a silent server.
    if (atStop && writer_.Failures() > stopFailures_) break;
    std::string line;
    IIntakeJournal::Seq seq = 0;
    try {
      if (ctx_.engine->GetNextTransaction(line, seq) != 0) {
        more = false;
        break;
      }
    } catch (const std::exception& e) {
      log_.WriteLog(999, std::string("<ChkTHC>") + e.what());
      continue;
    }
    ++taken;
    log_.WriteLog(30, "C.T=" + line);
    HandleIntake(line, seq, TransRowWriter::Intake::Of(seq));
  }
  writer_.EndTick();
  SettleTick();
  if (!atStop) NoteBacklog(taken, more);
  return more;
}

void TTransStore::ReplayJournal(std::chrono::steady_clock::time_point until) {
  writer_.BeginTick();
  int n = 0;
  while (!replay_.empty() && !Terminating() && (n < kLinesPerTick || std::chrono::steady_clock::now() < until)) {
    ReplayItem item = std::move(replay_.front());
    replay_.pop_front();
    // The record's year and the row's id come from when it arrived.
    if (item.line.timeMs > 0)
      lineNow_ = DateTime::FromTimePoint(std::chrono::system_clock::time_point(std::chrono::milliseconds(item.line.timeMs)));
    replaying_ = true;
    HandleIntake(item.line.text, item.line.seq,
                 TransRowWriter::Intake{item.line.seq, item.line.source, !item.needMain, !item.needArq, item.arqUnsure});
    replaying_ = false;
    lineNow_.reset();
    ++n;
  }
  writer_.EndTick();
  SettleTick();
  replayed_ += static_cast<size_t>(n);
  if (replay_.empty() && n > 0)
    log_.WriteLog(999, "Intake journal: " + IntToStr(static_cast<long long>(replayed_)) +
                           " records from before the restart stored; records are asked for again");
}

bool TTransStore::PrepareRecovery() {
  if (!journal_ || recoveryRead_) return true;
  using W = TransRowWriter;
  std::map<std::string, std::uint64_t> mainMarks, arqMarks;
  // Without the main database's marks nothing can be decided: start-up
  // tries again.
  if (!writer_.ReadMarks(W::kMainAlias, mainMarks)) return false;
  const bool arqLink = ctx_.settings && ctx_.settings->ChronexLink;
  const bool arqKnown = !arqLink || writer_.ReadMarks(W::kArqAlias, arqMarks);
  std::uint64_t top = 0;
  for (const auto* m : {&mainMarks, &arqMarks})
    for (const auto& [source, pos] : *m) top = std::max(top, pos);
  journal_->EnsureAbove(top);
  writer_.SpoolMarks(W::kMainAlias, mainMarks);
  writer_.SpoolMarks(W::kArqAlias, arqMarks);
  recoveryRead_ = true;
  auto lines = journal_->TakeRecovered();
  for (auto& l : lines) {
    const bool needMain = l.seq > mainMarks[l.source];
    const bool needArq = arqLink && (!arqKnown || l.seq > arqMarks[l.source]);
    if (!needMain && !needArq) {
      journal_->Consumed(l.seq);
      continue;
    }
    replay_.push_back(ReplayItem{std::move(l), needMain, needArq, arqLink && !arqKnown});
  }
  if (!replay_.empty()) {
    log_.WriteLog(999, "Intake journal: " + IntToStr(static_cast<long long>(replay_.size())) +
                           " records from before the restart are stored first" +
                           (arqLink && !arqKnown ? " (the attendance database is looked at once it answers)" : ""));
  }
  CheckSpool();
  return true;
}

void TTransStore::StoreJournaled(const std::vector<std::pair<std::uint64_t, std::string>>& lines) {
  if (!replay_.empty()) {
    // Behind the lines read back at start.
    for (const auto& [seq, line] : lines)
      replay_.push_back(ReplayItem{IIntakeJournal::Line{seq, journal_ ? journal_->SourceOf(seq) : "", line, 0}});
    return;
  }
  writer_.BeginTick();
  for (const auto& [seq, line] : lines) HandleIntake(line, seq, TransRowWriter::Intake::Of(seq));
  writer_.EndTick();
  SettleTick();
}

void TTransStore::NoteBacklog(int taken, bool more) {
  if (!backlog_ && taken > kLinesPerTick) {
    backlog_ = true;
    log_.WriteLog(999, "Backlog of engine lines: a tick stores more than " + IntToStr(kLinesPerTick) +
                           " lines, for up to " + IntToStr(kBacklogPercent) + "% of its interval");
  }
  if (!backlog_) return;
  backlogLines_ += taken;
  ++backlogTicks_;
  if (more) return;
  log_.WriteLog(999, "Backlog stored: " + IntToStr(backlogLines_) + " lines in " + IntToStr(backlogTicks_) + " ticks");
  backlog_ = false;
  backlogLines_ = backlogTicks_ = 0;
}

void TTransStore::CheckSpool() {
  TransSpool& spool = writer_.Spool();
  if (!spool.Healthy() && spool.Retry() && journal_) {
    // Their rows are on disk now.
    for (auto s : unsettled_) journal_->Consumed(s);
    unsettled_.clear();
  }
  const bool spoolDown = !spool.Healthy();
  if (spoolDown != spoolDown_) {
    spoolDown_ = spoolDown;
    log_.WriteLog(999, spoolDown ? "Spool " + spool.Path() + " cannot be written: controllers are asked for no records"
                                 : "Spool " + spool.Path() + " written again: controllers are asked for records");
  }
  const bool hold = spoolDown || !replay_.empty();
  if (hold == held_) return;
  held_ = hold;
  if (ctx_.engine) ctx_.engine->HoldRecords(hold);
}

bool TTransStore::DrainAtStop(std::chrono::steady_clock::time_point until) {
  if (!ctx_.engine) return false;
  if (stopFailures_ < 0) stopFailures_ = writer_.Failures();
  if (writer_.Failures() > stopFailures_) return false;
  return TakeLines(until, true) && writer_.Failures() == stopFailures_;
}

void TTransStore::SpoolAtStop() {
  // Lines in the journal stay there: the next start stores them. The others
  // (none, unless the journal refused them) are kept in the spool.
  long long inJournal = static_cast<long long>(replay_.size()), spooled = 0;
  if (ctx_.engine) {
    spoolOnly_ = true;
    writer_.BeginSpoolBatch();
    std::string line;
    IIntakeJournal::Seq seq = 0;
    while (ctx_.engine->GetNextTransaction(line, seq) == 0) {
      if (seq && journal_) {
        ++inJournal;
        continue;
      }
      try {
        HandleLine(line);
        ++spooled;
      } catch (const std::exception& e) {
        log_.WriteLog(999, std::string("<ChkTHC>") + e.what());
      }
    }
    const bool kept = writer_.EndSpoolBatch();
    spoolOnly_ = false;
    if (spooled > 0)
      log_.WriteLog(999, kept ? "Stop: " + IntToStr(spooled) + " engine lines kept in the spool, stored at the next start"
                              : "Stop: " + IntToStr(spooled) + " engine lines could not be kept: the spool " +
                                    writer_.Spool().Path() + " cannot be written");
  }
  inJournal += static_cast<long long>(unsettled_.size());
  if (inJournal > 0)
    log_.WriteLog(999, "Stop: " + IntToStr(inJournal) + " lines left in the intake journal, stored at the next start");
}

void TTransStore::StatusQuery() {
  if (!ctx_.registry || !ctx_.engine) return;
  int point = 0;
  std::string tag, ip;
  if (!ctx_.registry->GetNextCtrl(point, tag, ip)) return;
  std::string text = "S" + Format("%2.2d%2.2d%s", BusOfPoint(point), UnitOfPoint(point), KeyToIP(ip).c_str());
  if (ctx_.engine->GetDoorStatus(text) == 0) ctx_.registry->SetCtrlStatus(tag, text);
}

void TTransStore::HandleLine(const std::string& line) {
  auto lookup = [this](const std::string& ip, int point) {
    return ctx_.registry ? ctx_.registry->LookupTag(ip, point) : std::string();
  };
  switch (CharAt(line, 1)) {
    case 'S':
      HandleUnitState(line);
      return;
    case 'M':  // "M" BB UU ID result
      HandleReply(Copy(line, 6, 9), CopyFrom(line, 15));
      return;
    case 'I':  // "I" UU ID result IP reply, the last character not part of it
      HandleReply(Copy(line, 4, 9), Copy(line, 13, static_cast<long long>(line.size()) - 13));
      return;
    case 'C':  // card upload progress
      return;
    case 'Z': {  // a terminal's record: "Z" tag TAB record
      const size_t tab = line.find('\t');
      if (tab == std::string::npos) break;
      Save_Trans(line.substr(1, tab - 1), line.substr(tab + 1));
      return;
    }
    default:
      break;
  }
  if (line.size() > 25) {
    // IP transaction: unit "%3d", record, one blank, address.
    int point = static_cast<int>(StrToInt(Trim(Copy(line, 1, 3))));
    std::string record = Copy(line, 4, 15);
    std::string tag = lookup(IPToKey(Trim(CopyFrom(line, 20))), point);
    Save_Trans(tag, record);
    return;
  }
  // Serial transaction: "T" BB UU record.
  if (line.size() < 20) {
    log_.WriteLog(999, "Short engine line skipped: [" + line + "]");
    return;
  }
  int bus = static_cast<int>(StrToInt(Copy(line, 2, 2)));
  int unit = static_cast<int>(StrToInt(Copy(line, 4, 2)));
  Save_Trans(lookup("", PointOf(bus, unit)), Copy(line, 6, 15));
}

void TTransStore::HandleUnitState(const std::string& line) {
  // "S" UU state, then a 2-digit bus (serial) or the IP address.
  if (line.size() < 7) {
    log_.WriteLog(999, "Short engine line skipped: [" + line + "]");
    return;
  }
  int unit = static_cast<int>(StrToInt(Copy(line, 2, 2)));
  std::string state = Copy(line, 4, 2);
  std::string where = Trim(CopyFrom(line, 6));
  std::string tag;
  if (ctx_.registry) {
    tag = Contains(where, ".") ? ctx_.registry->LookupTag(IPToKey(where), unit)
                               : ctx_.registry->LookupTag("", PointOf(static_cast<int>(StrToInt(where)), unit));
  }
  // The device state is written outside the tick's transaction, so that a
  // failing trans row cannot take it back.
  // (At a stop only the record is kept: the state is polled afresh at the
  // next start.)
  // A state read back from the journal is history: the unit is polled
  // afresh now.
  const bool setState = ctx_.registry && !spoolOnly_ && !replaying_;
  if (state == "DN") {
    Save_Trans(tag, NowRecord('X'));
    writer_.Commit();
    if (setState) ctx_.registry->SetDeviceState(tag, "DOWN");
  } else if (state == "UP") {
    if (ctx_.registry && ctx_.registry->IsNoPoll(tag)) return;
    Save_Trans(tag, NowRecord('Y'));
    writer_.Commit();
    if (setState) ctx_.registry->SetDeviceState(tag, "UP");
  }
}

void TTransStore::HandleReply(const std::string& id, const std::string& reply) {
  // Only the answer to the command issued last is kept; without the client
  // protocol nobody asks for it.
  if (!ctx_.client) return;
  std::string last = ctx_.client->LastCommandID();
  if (!last.empty() && id == last) ctx_.client->PutReplyByID(id, reply);
}

// ---- storing one transaction ----

TTransStore::Event TTransStore::DecodeRecord(const std::string& record, int year) {
  Event ev;
  int day = TwoDigits(record, 1, "date"), month = TwoDigits(record, 3, "date");
  int hour = TwoDigits(record, 5, "time"), minute = TwoDigits(record, 7, "time");
  if (!DateTime::IsValidDate(year, month, day)) throw std::invalid_argument("Invalid date in record [" + record + "]");
  if (!DateTime::IsValidTime(hour, minute, 0)) throw std::invalid_argument("Invalid time in record [" + record + "]");
  ev.when = DateTime{year, month, day, hour, minute, 0, 0};
  ev.yyyymmdd = Format("%4.4d%2.2d%2.2d", year, month, day);
  ev.hhmm = Copy(record, 5, 4);
  ev.card = Copy(record, 9, 6);
  ev.code = Copy(record, 15, 1);
  return ev;
}

TTransStore::Lookup TTransStore::FindHolder(const std::string& card, Holder& h) {
  TQuery& q = ctx_.db->Query1;
  bool found = ctx_.db->RunSQL(q, "select * from cards where card_number=" + SqlQuote(card), true);
  // A select that failed leaves the query closed; one without rows does not.
  Lookup result = found ? Lookup::Found : q.Active() ? Lookup::NotFound : Lookup::Failed;
  if (found) {
    h.staff = q.FieldOr("staff_number");
    h.name = q.FieldOr("name");
    h.user1 = q.FieldOr("user1");
    h.user2 = q.FieldOr("user2");
    h.user3 = q.FieldOr("user3");
  } else if (result == Lookup::NotFound) {
    h.name = "Unknown";
  } else {
    writer_.MainStatementFailed();
  }
  q.Close();
  return result;
}

std::vector<std::string> TTransStore::TransRow(const std::string& id, const Event& ev, const std::string& tag,
                                               const Holder& h) {
  return {id,     ev.hhmm + "00", ev.card, ev.yyyymmdd, tag, "",      h.name, h.staff,
          h.user1, h.user2,       h.user3, "",          ev.code, "", "0"};
}

void TTransStore::Save_Trans(const std::string& tag, const std::string& record) {
  try {
    DateTime now = Now();
    int year = RecordYear(record, now);
    Event ev = DecodeRecord(record, year);
    Holder h;
    const bool holderWanted = HolderWanted(ev.code, record);
    const bool mainWanted = writer_.Wanted(TransRowWriter::kMainAlias);
    bool deferred = spoolOnly_ || (holderWanted && FindHolder(ev.card, h) == Lookup::Failed);
    if (deferred && !mainWanted) {
      // Read back for its attendance row alone, which needs the holder: the
      // line stays in the journal for the next start.
      log_.WriteLog(999, "Card lookup failed for a record read back from the journal, kept there: tag=" + tag +
                             " record=" + record);
      keepLine_ = true;
      return;
    }
    std::string id = FormatDateTime("yymmdd", now) +
                     Format("%2.2d%2.2d%2.2d%2.2d", now.hour, now.minute, now.second, now.msec % 100);
    if (deferred) {
      // Without its holder the row would be stored as "Unknown" and the
      // clocking lost: the whole transaction waits for the database.
      writer_.Defer({tag, record, id, IntToStr(year)}, "tag=" + tag + " record=" + record,
                    spoolOnly_ ? "service stopping" : "card lookup failed");
      if (holderWanted) h.name = "Unknown";
    } else {
      writer_.StoreTrans(TransRow(id, ev, tag, h));
    }
    if (!mainWanted) {
      // Its trans row is stored already (read back after a crash).
      LinkAttendance(record, tag, ev, h);
      return;
    }
    Counters().NoteTransaction(ctx_.clock->Now());
    if (ctx_.monitor) {
      ctx_.monitor->AppendOneLine(tag, Copy(record, 1, 2) + "/" + Copy(record, 3, 2) + "/" + Format("%4.4d", now.year),
                                  "0", ev.code, GetTranStr(ev.code), h.name, ev.card, h.staff,
                                  Copy(record, 5, 2) + ":" + Copy(record, 7, 2));
    }
    if (!deferred) LinkAttendance(record, tag, ev, h);
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<SaveT>") + e.what());
  }
}

void TTransStore::LinkAttendance(const std::string& record, const std::string& tag, const Event& ev, const Holder& h) {
  const ServiceSettings& s = *ctx_.settings;
  if (!s.ChronexLink || (ev.code != "0" && ev.code != "9")) return;
  if (h.staff.empty()) {
    log_.WriteLog(999, "Staff not found in DB: card=" + ev.card);
    return;
  }
  if (!writer_.Wanted(TransRowWriter::kArqAlias)) return;
  if (s.RawEnable) raw_.DumpTOTextFile(record, tag, h.staff, ev.card, ev.code, ev.when, ev.when);
  // The reprocessing request follows once the row is in its database
  // (QueueRepro), which for a spooled row may be much later.
  writer_.StoreAttendance({h.staff, ev.yyyymmdd, ev.hhmm, "000", ev.code == "0" ? "I" : "O", ev.card, "", "01", "R",
                           "0001", "PX"});
}

void TTransStore::QueueRepro(const std::vector<std::string>& row) {
  // row: staff_number, yyyymmdd, ...
  if (ctx_.settings->NoOTFRepro || row.size() < 2) return;
  const std::string& staff = row[0];
  const std::string& date = row[1];
  int y = 0, m = 0, d = 0;
  if (date.size() != 8 || std::sscanf(date.c_str(), "%4d%2d%2d", &y, &m, &d) != 3 || !DateTime::IsValidDate(y, m, d)) {
    log_.WriteLog(999, "<SaveT>Invalid attendance date [" + date + "]");
    return;
  }
  log_.WriteLog(0, "Q.Reprocess [" + staff + "]");
  ctx_.ReproList.push_back(FormatDateTime("yyyymmdd", DateTime{y, m, d, 0, 0, 0, 0}.AddDays(-1)) + date + staff);
}

bool TTransStore::ResolveDeferred(SpoolEntry& e, std::vector<std::string>& row, std::function<void()>& after) {
  try {
    if (e.fields.size() < 4) throw std::invalid_argument("deferred transaction without its fields");
    const std::string tag = e.fields[0], record = e.fields[1];
    Event ev = DecodeRecord(record, static_cast<int>(StrToInt(e.fields[3])));
    Holder h;
    if (HolderWanted(ev.code, record) && FindHolder(ev.card, h) == Lookup::Failed) {
      // A lookup that keeps failing while the database takes other
      // statements (a card number it cannot read, say) must not hold the
      // rows behind it for ever: the transaction is stored as an unknown
      // card, and from here on replayed as that plain row.
      if (e.failures + 1 < TransRowWriter::kPoisonAfter) return false;
      h = Holder{};
      h.name = "Unknown";
      row = TransRow(e.fields[2], ev, tag, h);
      log_.WriteLog(999, "Card lookup failed " + IntToStr(e.failures + 1) +
                             " times: stored as an unknown card: tag=" + tag + " record=" + record);
      e.kind = "trans";
      e.fields = row;
      return true;
    }
    row = TransRow(e.fields[2], ev, tag, h);
    // The attendance row carries the line's journal number and is looked
    // for by it first: this may run again after a stop (see ReplayAlias).
    after = [this, tag, record, ev, h, seq = e.seq, source = e.source] {
      writer_.SetIntake(TransRowWriter::Intake{seq, source, false, false, seq != 0});
      LinkAttendance(record, tag, ev, h);
      writer_.ClearIntake();
    };
    return true;
  } catch (const std::exception& ex) {
    log_.WriteLog(999, std::string("<SaveT>") + ex.what());
    return false;
  }
}

// ---- transaction codes ----

void TTransStore::GetTranCodeFromTable() {
  try {
    tranCodeCount_ = 0;
    tranCodes_ = {};
    TQuery& q = ctx_.db->Query1;
    ctx_.db->RunSQL(q, "select * from trcode", true);
    int ignored = 0;
    for (q.First(); !q.Eof(); q.Next()) {
      if (tranCodeCount_ >= kMaxTranCodes) {
        ++ignored;
        continue;
      }
      TranCodeRec& slot = tranCodes_[static_cast<size_t>(tranCodeCount_++)];
      std::string code = Trim(q.FieldOr("trans_code"));
      if (!code.empty()) {
        slot.code = code[0];
        slot.description = q.FieldOr("description");
      }
    }
    q.Close();
    if (ignored)
      log_.WriteLog(999, "trcode has more than " + IntToStr(kMaxTranCodes) + " rows: " + IntToStr(ignored) +
                             " rows ignored");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<GetTrCode> :") + e.what());
  }
}

std::string TTransStore::GetTranStr(const std::string& code) const {
  try {
    if (code.empty()) return " ";
    for (int i = 0; i < tranCodeCount_; ++i) {
      const TranCodeRec& slot = tranCodes_[static_cast<size_t>(i)];
      if (slot.code != code[0]) continue;
      if (slot.description.empty()) break;
      return slot.description;
    }
    return std::string(1, code[0]) + ":Unknown";
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<GetTranStr>") + e.what());
    return " ";
  }
}

}  // namespace px
