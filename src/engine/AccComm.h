#pragma once
#include <functional>
#include <array>
#include <cstdint>
#include <fstream>
#include <string>

#include "common/RingQueue.h"
#include "engine/ByteRing.h"
#include "engine/EngineContext.h"
#include "engine/FrameFinder.h"
#include "engine/TransQueue.h"
#include "engine/UnitRecord.h"

namespace px {

class TComPort;

// The bus thread's own fields. The steps below run on the loop thread while
// the thread waits for them, so the two never touch these at the same time.
struct BusTurn {
  int unit = 0;                  // unit of the command in flight, or the polled unit
  bool portOpen = false;
  std::string frame;             // command frame (address byte first)
  std::string id;                // its command ID
  std::string reply;             // "XX" after a command time-out
  bool commandInFlight = false;  // false while a poll is outstanding
  char busState = 'N';           // "N" normal, "D" port down
  // A poll that asks for records waits for the unit's owed mark to be on
  // disk before it goes out: its code and the mark's journal number.
  std::string pollCode;
  IIntakeJournal::Seq awaited = 0;
};

// What the bus thread acts on after CheckBusPort.
struct BusSnapshot {
  bool portOpen = false;
  char state = 'I';
  int timeout = 0;
  bool cardMode = false;
};

// One RS-485 bus: its 16 units, queues, receive ring and frame finder, and
// the steps its thread has the loop run. Loop thread only.
class TAccComm : private FrameSink {
public:
  static constexpr int kUnits = 16;
  static constexpr size_t kCommandSlots = 5000;
  static constexpr size_t kTransSlots = 4000;
  static constexpr int kReplyTicks = 45;

  TAccComm(EngineContext& ctx, int bus);
  ~TAccComm() override;

  int Bus() const { return bus_; }
  // unit 1..16
  TUnitRecord& Unit(int unit) { return units_[static_cast<size_t>(unit - 1)]; }
  static bool ValidUnit(int unit) { return unit >= 1 && unit <= kUnits; }
  void SetPort(TComPort* port) { port_ = port; }
  TComPort* Port() const { return port_; }

  bool Queue_PutCommand(const std::string& line) { return commands_.Put(line); }
  bool Queue_GetCommand(std::string& line) { return commands_.Get(line); }
  bool GetTrans(std::string& line, IIntakeJournal::Seq& seq) { return trans_.Get(line, seq); }
  bool HasTrans() const { return !trans_.Empty(); }
  size_t CommandDepth() const { return commands_.Count(); }
  size_t TransDepth() const { return trans_.Count(); }

  char State() const { return finder_.State(); }
  int Timeout() const { return timeout_; }
  int LastPolled() const { return lastPolled_; }
  const std::string& CommandId() const { return cmdId_; }
  bool CardFileOpen() const { return cardFile_.is_open(); }
  // One 20 ms tick of the reply time-out.
  void TickTimeout() {
    if (timeout_ > 0) --timeout_;
  }

  // The receive event of the bus port.
  void OnRxChar(TComPort& port, int inQue);
  // Called on the loop when an awaited answer is complete (state "E" or
  // "C"), so the bus thread interprets it without sleeping out its turn.
  std::function<void()> OnAnswerComplete;
  // Feeds received bytes as the port would deliver them.
  void Receive(const std::string& bytes);

  // Steps of the bus thread.
  BusSnapshot CheckBusPort(BusTurn& turn);
  enum class IdleResult { CommandSent, PollSent, NoneEnabled, ScanningStopped, AwaitJournal };
  IdleResult IdleStep(BusTurn& turn);
  // After AwaitJournal: sends the poll once its mark is on disk; when it is
  // not (`settled` false) and can still be taken back, sends nothing.
  IdleResult SendAwaitedPoll(BusTurn& turn, bool settled);
  void GiveUpAnswer(BusTurn& turn);
  void AbandonCardUpload(BusTurn& turn);
  void ProcessBusReply(BusTurn& turn);
  void FinishCardUpload(BusTurn& turn);

  bool FetchBusCommand(BusTurn& turn);
  void SendBusCommand(BusTurn& turn);
  // Next enabled unit after the last polled one; 0 when none is enabled.
  // While records are not asked for, a unit waiting to repeat its last
  // block is passed over: any poll but QR would have it delete that block.
  int ChooseNextUnit(bool askRecords = true) const;
  // QA or QR only when `askRecords`; otherwise a status poll. A unit that
  // owes a repeat gets QR before anything else, its version request too.
  std::string PollCode(int unit, bool askRecords) const;
  void SendBusPoll(int unit, bool askRecords = true) { SendPoll(unit, PollCode(unit, askRecords)); }
  void SendPoll(int unit, const std::string& code);
  // The unit's name in the intake journal: "B" bus "U" two-digit unit.
  std::string UnitKey(int unit) const;
  const TransQueue& TransLines() const { return trans_; }
  void ReportPollTimeout(int unit);
  void ReportCommandFailed(BusTurn& turn);
  void UpdateUnitUpDown(int unit, bool goodPoll);
  // Marks every enabled unit down (the port failed).
  void RefreshBusStatus(bool markDown);

private:
  void OnNul() override;
  void OnCardStart() override;
  void OnCardRecord(const std::string& record) override;
  void OnCardEnd() override;
  void Write(const std::string& bytes);
  void StartExchange();
  void Led(int unit, uint32_t colour);
  void PutTrans(const std::string& line);
  // The turn's unit did not answer (time-out, or a frame that is no reply).
  void NoAnswer(BusTurn& turn);
  // False when the records do not fit: none is queued.
  bool HandleRecords(int unit, const std::string& frame, int from, int count);

  EngineContext& ctx_;
  int bus_;
  std::array<TUnitRecord, kUnits> units_;
  TComPort* port_ = nullptr;
  ByteRing ring_;
  RingQueue<std::string> commands_;
  TransQueue trans_;
  FrameFinder finder_{FrameFinder::Rules::Serial};
  int lastPolled_ = kUnits;
  int timeout_ = 0;
  std::string cmdId_;
  int cmdUnit_ = 0;
  int cardCount_ = 0;
  std::ofstream cardFile_;
};

}  // namespace px
