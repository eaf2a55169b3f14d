#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
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
// Loop thread only.
class TTransStore : public ITransStore {
public:
  static constexpr int kMaxTranCodes = 60;
  static constexpr int kLinesPerTick = 10;
  // With a backlog a tick goes on taking lines for this share of the
  // Timer1 interval, so the default 200 ms drains far more than 50 a second.
  static constexpr int kBacklogPercent = 40;
  static constexpr const char* kSpoolFile = "trans.spool";

  // The spool left by an earlier run is read here.
  TTransStore(ServiceContext& ctx, ILog& log);
  ~TTransStore() override;

  void CheckThCommTrans() override;
  void Save_Trans(const std::string& tag, const std::string& record) override;
  void GetTranCodeFromTable() override;
  bool DrainAtStop(std::chrono::steady_clock::time_point until) override;
  void SpoolAtStop() override;
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
  static int EventYear(const std::string& record, const DateTime& now);
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
  // Controllers are asked for no records while the spool cannot be written.
  void CheckSpool();

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
  long long backlogLines_ = 0, backlogTicks_ = 0;  // while a backlog lasts
  bool backlog_ = false;
};

}  // namespace px
