#pragma once
#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/IntakeJournalApi.h"
#include "common/Log.h"
#include "service/RawTextFile.h"
#include "service/ServiceContext.h"
#include "service/TransRowWriter.h"
#include "service/TransStoreApi.h"

namespace px {

// One slot of the transaction code table.
struct TranCodeRec {
  char code = '\0';
  std::string description;
};

// Transaction storage: turns the engine's output lines into stored
// transactions, device states and reply matches, looks card holders up,
// writes the trans rows, shows each transaction in the monitor and, with
// the attendance link on, writes the attendance rows, the raw text file and
// the reprocessing requests. Rows a database does not take wait in the
// spool "trans.spool" in the program folder (see TransRowWriter).
//
// With the intake journal, every line a device handed over is reported
// consumed once every row it made is in its database or on disk in the
// spool; until then the journal keeps it, and after a crash the lines a
// database does not have are stored again (PrepareRecovery), in order,
// before any new one. Loop thread only.
class TTransStore : public ITransStore {
public:
  static constexpr int kMaxTranCodes = 60;
  static constexpr int kLinesPerTick = 10;
  // With a backlog a tick goes on taking lines for this share of the
  // Timer1 interval, so the default 200 ms drains far more than 50 a second.
  static constexpr int kBacklogPercent = 40;
  // ...but never longer than this, whatever the interval: the loop has
  // other work. (The commit comes on top: a tick's storing stays near
  // 100 ms.)
  static constexpr std::chrono::milliseconds kMaxTickStore{60};
  static constexpr const char* kSpoolFile = "trans.spool";

  // The spool left by an earlier run is read here.
  TTransStore(ServiceContext& ctx, ILog& log);
  ~TTransStore() override;

  void CheckThCommTrans() override;
  void Save_Trans(const std::string& tag, const std::string& record) override;
  void GetTranCodeFromTable() override;
  bool DrainAtStop(std::chrono::steady_clock::time_point until) override;
  void SpoolAtStop() override;
  bool PrepareRecovery() override;
  void StoreJournaled(const std::vector<std::pair<std::uint64_t, std::string>>& lines) override;
  // Journal lines read back at start and not stored yet.
  size_t RecoveryLeft() const { return replay_.size(); }
  // The description of a code; the code and ":Unknown" when there is none.
  std::string GetTranStr(const std::string& code) const;

  int TranCodeCount() const { return tranCodeCount_; }
  // Slot i (1-based); an empty slot past the loaded ones.
  const TranCodeRec& TranCode(int i) const {
    static const TranCodeRec kNone;
    return i >= 1 && i <= tranCodeCount_ ? tranCodes_[static_cast<size_t>(i - 1)] : kNone;
  }
  TRawTextFile& Raw() { return raw_; }
  TransRowWriter& Writer() { return writer_; }

private:
  // The card holder's columns of cards.
  struct Holder {
    std::string name, staff, user1, user2, user3;
  };
  enum class Lookup { Found, NotFound, Failed };
  // The decoded 15-character record.
  struct Event {
    DateTime when;          // date and time of the event (second 0)
    std::string yyyymmdd, hhmm, card, code;
  };
  static Event DecodeRecord(const std::string& record, int year);
  Lookup FindHolder(const std::string& card, Holder& h);
  static std::vector<std::string> TransRow(const std::string& id, const Event& ev, const std::string& tag,
                                           const Holder& h);
  void LinkAttendance(const std::string& record, const std::string& tag, const Event& ev, const Holder& h);
  bool ResolveDeferred(SpoolEntry& e, std::vector<std::string>& row, std::function<void()>& after);
  void QueueRepro(const std::vector<std::string>& attendanceRow);
  // Takes engine lines in one tick of the writer until the engine has none,
  // the service stops (unless `atStop`) or, past the first ten, `until`.
  // True when lines were left.
  bool TakeLines(std::chrono::steady_clock::time_point until, bool atStop);
  void NoteBacklog(int taken, bool more);
  // Controllers are asked for no records while the spool cannot be written
  // or lines read back from the journal wait to be stored.
  void CheckSpool();
  // One line in the tick under way, with the journal line it is.
  void HandleIntake(const std::string& line, IIntakeJournal::Seq seq, TransRowWriter::Intake in);
  // The tick's lines are done with: reported consumed once their rows are safe.
  void SettleTick();
  // Stores lines read back from the journal until `until` (ten at least).
  void ReplayJournal(std::chrono::steady_clock::time_point until);
  DateTime Now() const { return lineNow_ ? *lineNow_ : ctx_.clock->LocalNow(); }

  void StatusQuery();
  void HandleLine(const std::string& line);
  void HandleUnitState(const std::string& line);
  void HandleReply(const std::string& id, const std::string& reply);
  bool Terminating() const;
  std::string NowRecord(char code) const;

  ServiceContext& ctx_;
  ILog& log_;
  TRawTextFile raw_;
  TransRowWriter writer_;
  std::array<TranCodeRec, kMaxTranCodes> tranCodes_{};
  int tranCodeCount_ = 0;
  bool spoolOnly_ = false;  // at a stop: every line goes to the spool as it is
  bool held_ = false;       // the engine is told to ask for no records
  bool spoolDown_ = false;  // as last logged
  IIntakeJournal* journal_ = nullptr;
  struct ReplayItem {
    IIntakeJournal::Line line;
    bool needMain = true, needArq = true, arqUnsure = false;
  };
  std::deque<ReplayItem> replay_;   // read back from the journal, stored before new lines
  bool recoveryRead_ = false;
  size_t replayed_ = 0;
  std::vector<IIntakeJournal::Seq> tickSeqs_;   // handled in the tick under way
  std::vector<IIntakeJournal::Seq> unsettled_;  // rows in a spool that could not be written
  bool keepLine_ = false;                       // the line under way stays in the journal
  std::optional<DateTime> lineNow_;             // a replayed line's time of arrival
  bool replaying_ = false;                      // the line under way is replayed
  long long stopFailures_ = -1;                 // writer failures when the stop began
  long long backlogLines_ = 0, backlogTicks_ = 0;  // while a backlog lasts
  bool backlog_ = false;
};

}  // namespace px
