#pragma once
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ctrlsim/Frame.h"

namespace px::sim {

// Ways a unit can misbehave. Counted faults ("next K") wear off by
// themselves; the others hold until changed.
struct Faults {
  bool silent = false;          // hears everything, answers nothing
  int delayMs = 0;              // wait this long before answering
  int nulCount = 0;             // NUL bytes sent first ("busy")...
  int nulGapMs = 0;             // ...this far apart, the answer one gap after the last
  int badChecksumNext = 0;      // the next K replies carry a wrong checksum
  std::string garbage;          // bytes sent before the address byte of each reply
  int cardCutAfter = -1;        // card upload stops after this many records, without its CR
  int pollOverrideNext = 0;     // the next K QA polls are answered with pollOverrideCode
  std::string pollOverrideCode = "DB";  // "DB" (records, no status) or "AD" (ack only)
  // TCP only
  int closeMidFrameNext = 0;    // the next K replies are cut in half and the connection closed
  int pieces = 1;               // each reply goes out in this many pieces...
  int pieceGapMs = 0;           // ...this far apart
};

// What a transport is to send in answer to one frame.
struct ReplyPlan {
  bool answer = false;
  int delayMs = 0;
  int nulCount = 0;
  int nulGapMs = 0;
  std::string bytes;            // garbage, then the reply frame
  bool closeAfter = false;      // TCP: close the connection once `bytes` are out
  int pieces = 1;
  int pieceGapMs = 0;
};

// One simulated door controller. Every member is safe to call from any
// thread: tests adjust a unit while a transport thread answers for it.
class SimUnit {
public:
  explicit SimUnit(int number);

  int Number() const { return number_; }

  // Identity and state reported to the host.
  void SetEnabled(bool on);
  bool Enabled() const;
  void SetModel(const std::string& model, const std::string& version);
  std::string Model() const;
  void SetStatusA(const std::string& two);   // padded/cut to 2 characters
  void SetStatusB(const std::string& six);   // padded/cut to 6 characters
  void SetMaxRecordsPerReply(int n);
  void SetCommandReply(const std::string& code, const std::string& data);

  // Transactions waiting for the host. Records are padded or cut to 15.
  void QueueRecord(const std::string& record);
  void QueueTransaction(const std::string& card, char code, std::time_t when);
  void QueueStatusRecord(std::time_t when);  // current status A and B, ending "Z"
  int QueuedRecords() const;        // not yet sent
  int UnconfirmedRecords() const;   // sent in the last QA, kept for a QR repeat
  int ConfirmedRecords() const;     // sent and followed by a poll other than QR
  // The confirmed records in the order they were handed over: the unit has
  // deleted them, so the host must have every one of them.
  std::vector<std::string> HandedOver() const;

  // Card list streamed by a card upload. Entries are padded or cut to 20.
  void SetCards(const std::vector<std::string>& records);
  std::vector<std::string> Cards() const;

  // Misbehaviour.
  void SetFaults(const Faults& f);
  Faults GetFaults() const;
  void ClearFaults() { SetFaults(Faults{}); }
  void SetSilent(bool on);
  void SetDelay(int ms);
  void SetNuls(int count, int gapMs);
  void SetBadChecksum(int nextReplies);
  void SetGarbage(const std::string& bytes);
  void SetCardCut(int afterRecords);
  void SetPollOverride(const std::string& code, int nextPolls);
  void SetCloseMidFrame(int nextReplies);
  void SetPieces(int pieces, int gapMs);

  // What the unit has heard.
  int Received(const std::string& code) const;
  int TotalReceived() const;
  int BadRequests() const;          // frames whose parameter checksum was wrong
  int RepliesSent() const;
  std::string LastParams(const std::string& code) const;
  std::vector<std::string> ReceivedFrames() const;
  void ResetCounters();

  // Answer one frame addressed to this unit.
  ReplyPlan Answer(const Request& req);
  // An unsolicited QA answer carrying queued records, for hosts that only
  // listen; nothing when no record waits.
  ReplyPlan Push();

  // Pads or cuts to width (blanks on the right).
  static std::string Fit(const std::string& s, std::size_t width);
  // "ddmmhhmm" of `when` in local time.
  static std::string Stamp(std::time_t when);

private:
  static constexpr std::size_t kFrameLogLimit = 10000;

  ReplyPlan ReplyLocked(const Request& req);
  std::string TakeRecordsLocked();
  std::string RecordsTextLocked() const;
  std::string CardStreamLocked();

  const int number_;
  mutable std::mutex m_;
  bool enabled_ = false;
  std::string model_ = "KX4100";
  std::string version_ = "1.23";
  std::string statusA_ = "00";
  std::string statusB_ = "000000";
  int maxRecords_ = 4;
  std::map<std::string, std::string> commandReplies_;
  std::deque<std::string> queue_;
  std::vector<std::string> lastSent_;
  int confirmed_ = 0;
  std::vector<std::string> handedOver_;
  std::vector<std::string> cards_;
  Faults faults_;
  std::map<std::string, int> received_;
  std::map<std::string, std::string> lastParams_;
  std::deque<std::string> frames_;
  int total_ = 0;
  int badRequests_ = 0;
  int replies_ = 0;
};

}  // namespace px::sim
