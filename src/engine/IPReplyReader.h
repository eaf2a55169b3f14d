#pragma once
#include <string>
#include <string_view>

namespace px {

// What the walk over a received IP reply reports, in order.
class IPReplySink {
public:
  virtual ~IPReplySink() = default;
  // The header of a QA or QR reply: its code and status A (the two
  // characters after the code). Records follow.
  virtual void OnPollHeader(int frameUnit, const std::string& code, const std::string& statusA) = 0;
  // One 15-character record of a QA or QR reply.
  virtual void OnRecord(int frameUnit, const std::string& record) = 0;
  // The CR that ends a frame; `frame` runs from the address byte to the CR.
  virtual void OnFrameEnd(int frameUnit, const std::string& frame) = 0;
};

// The checksum of the first frame in a receive ring's text (up to its first
// CR, from the last address byte before it): the last two characters before
// the CR against the byte sum of the characters from the fourth to the one
// before the checksum. Frames of up to 7 characters (no data beyond a
// status) are not checked.
bool VerifyFrameCheckSum(std::string_view text);

// Walks the text byte by byte: an address byte (above 0xCF) starts a frame;
// a QA or QR header switches to 15-character records; a CR ends the frame.
// Bytes outside a frame are skipped.
void ReadIPReplies(std::string_view text, IPReplySink& sink);

// The data of a reply frame: between the code and the checksum.
std::string ReplyData(std::string_view frame);

// Up/down counting of an IP controller's consecutive failed polls: a good
// poll after more than 3 failures brings it up (+1), the 4th failure in a
// row takes it down (-1); the count stops at 4. 0 when nothing changes.
int CountIPPoll(int& failures, bool goodPoll);

}  // namespace px
