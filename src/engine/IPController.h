#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/RingQueue.h"
#include "engine/EngineContext.h"
#include "engine/IPCommandQueue.h"
#include "engine/IPReceiver.h"
#include "engine/IPReplyReader.h"
#include "engine/TransQueue.h"
#include "engine/UnitRecord.h"

namespace px {

// A controller an IP channel serves: its unit record and where it is.
struct TIPSlot {
  TUnitRecord rec;
  std::string ip;
  int port = 0;
};

// What one IP channel knows: up to 16 slots (controllers by address, port
// and unit number), the current slot, the command and transaction queues,
// the receive side and the command in flight; and how answers are read.
// The channel (TIPChannel) drives it with its timer and socket.
//
// A slot's unit number is what the service registered it with (its logical
// point); lines to the service carry it. On the wire a controller answers to
// its bus address, (unit - 1) mod 16 + 1, which is the same for 1..16.
// Loop thread only.
class TIPController : private IPReplySink {
public:
  static constexpr int kSlots = 16;
  static constexpr size_t kTransSlots = 4000;

  TIPController(EngineContext& ctx, int channel);

  int Channel() const { return channel_; }
  // slot 1..16
  TIPSlot& Slot(int slot) { return slots_[static_cast<size_t>(slot - 1)]; }
  const TIPSlot& Slot(int slot) const { return slots_[static_cast<size_t>(slot - 1)]; }
  TUnitRecord& Unit(int slot) { return Slot(slot).rec; }
  int SlotCount() const { return slotCount_; }
  int CurSlot() const { return curSlot_; }
  int CurUnit() const { return curUnit_; }
  void SetCurUnit(int unit) { curUnit_ = unit; }
  TIPSlot& Cur() { return Slot(curSlot_); }
  static int WireUnit(int unit);

  // Slots.
  // The first slot whose unit number is below 1; 0 when all are taken.
  int FreeSlot() const;
  void FillSlot(int slot, bool wasDown, bool enabled, int port, const std::string& configuredModel,
                const std::string& ip, int unit);
  void CountSlot() { ++slotCount_; }
  bool HoldsAddress(const std::string& ip) const;
  // Sets the flag of the slots of `ip` with that unit number (or, when none
  // has it, whose bus address is that unit); returns the slots changed.
  int EnableUnit(const std::string& ip, int unit, bool enable);
  void EnableAll(bool enable);
  // The enabled slot of `ip` with that unit number (bus address as above);
  // nullptr when none.
  const TIPSlot* FindSlot(const std::string& ip, int unit) const;
  // Starting after the current slot, the first enabled one becomes current.
  bool ChooseNextSlot();
  bool AnyEnabled() const;

  // Queues.
  TIPCommandQueue& Commands() { return commands_; }
  bool Queue_PutIPCommand(const std::string& ip, const std::string& line) { return commands_.Put(ip, line); }
  bool Queue_GetIPCommand(const std::string& ip, std::string& line) { return commands_.Get(ip, line); }
  // Empties the command queue; every dropped command is answered "XX".
  void DropCommands();
  bool GetTrans(std::string& line, IIntakeJournal::Seq& seq) { return trans_.Get(line, seq); }
  void PutTrans(const std::string& line) { trans_.Put(line); }
  size_t TransDepth() const { return trans_.Count(); }
  const TransQueue& TransLines() const { return trans_; }

  // The exchange under way.
  TIPReceiver& Receiver() { return receiver_; }
  char State() const { return receiver_.State(); }
  void SetState(char s) { receiver_.SetState(s); }
  bool CommandInFlight() const { return cmdInFlight_; }
  void SetCommandInFlight(bool on) { cmdInFlight_ = on; }
  const std::string& CommandId() const { return cmdId_; }
  int CommandUnit() const { return cmdUnit_; }
  // A command (ID, unit from its address byte) is about to be sent.
  void BeginCommand(const std::string& id, int unit);
  // A poll is about to be sent.
  void BeginPoll();

  // The poll for the current slot; false when the slot is not polled. The
  // frame is empty on a turn that only listens. While records are not asked
  // for (TransQueue) only status is polled, and a slot waiting to repeat its
  // last block is not polled at all: any poll but QR would have the
  // controller delete that block.
  bool IPSendPoll(std::string& frame);
  // After IPSendPoll: the journal number of the owed mark the poll must wait
  // for (0: none).
  IIntakeJournal::Seq Awaited() const { return awaited_; }
  // The slot's name in the intake journal: address key, "U", unit number.
  std::string UnitKey(int slot) const;
  // Interprets the complete frame in the ring (state "E").
  void ProcessIPData();
  // The end of a card upload (state "C").
  void HandleRCData();
  void RefreshIPDownCount(int slot, bool goodPoll);
  void Led(uint32_t colour);

private:
  void OnPollHeader(int frameUnit, const std::string& code, const std::string& statusA) override;
  void OnRecord(int frameUnit, const std::string& record) override;
  void OnFrameEnd(int frameUnit, const std::string& frame) override;
  // The slot of the current address whose controller sent a frame.
  TIPSlot& FrameSlot(int frameUnit, int& slot);
  // The records of one reply, per slot, until the reply is read.
  struct Block {
    int slot = 0;
    std::vector<std::string> lines;
  };
  Block& BlockOf(int slot);
  void Log(int level, const std::string& text) { ctx_.log.WriteLog(level, text); }

  EngineContext& ctx_;
  int channel_;
  std::array<TIPSlot, kSlots> slots_;
  int slotCount_ = 1;
  int curSlot_ = 1;
  int curUnit_ = 0;
  TIPCommandQueue commands_;
  TransQueue trans_;
  TIPReceiver receiver_;
  bool cmdInFlight_ = false;
  bool pollOut_ = false;  // a poll was sent to the current slot, its outcome not yet counted
  std::string cmdId_;
  int cmdUnit_ = 0;
  std::vector<Block> block_;
  IIntakeJournal::Seq awaited_ = 0;
};

}  // namespace px
