#pragma once
#include <string>
#include <string_view>

namespace px {

// What a frame finder reports while it works through a received piece.
class FrameSink {
public:
  virtual ~FrameSink() = default;
  // A NUL byte: the controller is alive but busy (serial rules only).
  virtual void OnNul() {}
  // An "RC" header: a card upload starts. What the receive ring holds
  // belongs to no frame any more and should be dropped.
  virtual void OnCardStart() {}
  // One 20-character card record of the upload.
  virtual void OnCardRecord(const std::string& record) { (void)record; }
  // The CR that ends the upload stream.
  virtual void OnCardEnd() {}
};

// Finds controller frames in a byte stream that arrives in arbitrary
// pieces. It knows nothing of ports or sockets: the receive code feeds it
// each piece and appends what Feed returns to its receive ring.
//
// The state character is the transport's: "I" idle, "W" waiting, "S"
// collecting, "E" frame complete, "C" card upload complete. The finder
// sets "S", "E" and "C"; the transport sets the others.
//
// Serial rules: a byte 0xD0..0xDF starts a frame (from any state); NUL is
// never collected and reported; in "S" every other byte is collected, CR
// included; a CR makes the state "E" once the piece has been worked
// through. IP rules: any byte above 0xCF starts a frame; NUL is an
// ordinary byte; the state becomes "E" at the CR itself, so bytes after it
// in the same piece are dropped.
//
// Common to both: the first 3 collected characters are the header; an
// "RC" code starts card-upload mode, in which every 20 collected characters
// are one card record and the closing CR replaces the collected text by
// address, "RC", CR (state "C"). Text is held back (carry-over) until the
// header is complete and during a card upload.
class FrameFinder {
public:
  enum class Rules { Serial, Ip };
  static constexpr size_t kHeaderLen = 3;
  static constexpr size_t kCardRecordLen = 20;

  explicit FrameFinder(Rules rules) : rules_(rules) {}

  // Works through one piece; returns the text that is ready for the ring.
  std::string Feed(std::string_view piece, FrameSink& sink);

  char State() const { return state_; }
  void SetState(char s) { state_ = s; }
  bool CardMode() const { return cardMode_; }
  bool HeaderSeen() const { return header_; }
  // Text held back for the next piece.
  const std::string& CarryOver() const { return collected_; }
  // The unit whose command a card upload answers (its address ends the stream).
  void SetAnswerUnit(int unit) { answerUnit_ = unit; }
  // Gives up a card upload that stopped without its closing CR.
  void AbandonCardUpload();
  // Back to the idle start state with nothing held.
  void Reset();

private:
  bool StartsFrame(unsigned char b) const;
  void EndFrame(FrameSink& sink);
  Rules rules_;
  char state_ = 'I';
  bool header_ = false;
  bool cardMode_ = false;
  int answerUnit_ = 0;
  std::string collected_;
};

}  // namespace px
