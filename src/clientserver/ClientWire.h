#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace px {

// Control bytes of the client protocol.
inline constexpr char kSOH = '\x01';
inline constexpr char kSTX = '\x02';
inline constexpr char kETX = '\x03';
inline constexpr char kEOT = '\x04';
inline constexpr char kACK = '\x06';
inline constexpr char kCR = '\r';

// The wire transform of all client traffic: by position from 0, bytes at
// multiples of 3 are complemented and the others have their nibbles swapped;
// a byte that is CR, or that would become CR, passes unchanged. It keeps the
// length and is its own inverse.
std::string ScrambleClientText(std::string_view text);

// Request texts as a client program builds them (unscrambled). Fields are
// blank-padded to their width; a value that does not fit is cut.
namespace wire {

// SOH poll: status of `tag`, monitor lines when `lastLine` is not the
// monitor's last line, and finished-job notices for this client.
std::string PollRequest(std::string_view tag, std::string_view lastLine);
// STX command `code` with parameters for a controller, output or input.
std::string CommandRequest(std::string_view tag, std::string_view code, std::string_view params);
// STX fetch of the reply to command `id`.
std::string FetchReplyRequest(std::string_view tag, std::string_view id);
// STX re-read of the active flags (no reply).
std::string RefreshActiveRequest();
// ETX mobile login; false (request untouched) when user or password is too
// long for its field (15 and 10 characters).
bool LoginRequest(std::string_view user, std::string_view password, std::string& request);
// ETX mobile command "C1", "C2" or "C3" with its 2-letter controller code.
std::string MobileRequest(std::string_view kind, std::string_view user, std::string_view tag,
                          std::string_view code, std::string_view params);
// EOT template job.
std::string JobRequest(std::string_view ctrl, int unit, std::string_view user, std::string_view code,
                       std::string_view clientKey, std::string_view tag, std::string_view target12);

// A reply taken apart: ACK, body, CR.
struct Reply {
  bool ok = false;     // began with ACK and ended with CR
  std::string body;    // between the two
};
Reply ParseReply(std::string_view reply);

// A poll reply body: the 6-character status, then monitor lines, a
// progress notice ("_&" code text) or a result notice ("_*" tag yes/no code key).
struct PollBody {
  std::string status;
  std::vector<std::string> lines;  // each line's cells joined by ","
  bool progress = false, result = false;
  std::string jobCode, message, tag, yesNo, key;
};
PollBody ParsePollBody(std::string_view body);

// The text the server compares a client's last line with, made from a line
// of the monitor list (its nine cells joined by ","): cells 0, 1, 2, 4, 7
// and 8 laid out as "%12s%8s%4s%6s%s%s".
std::string LastLineOf(std::string_view monitorLine);

// Printable form of a byte text: hex bytes and the text with control bytes
// shown as <XX>.
std::string HexDump(std::string_view bytes);
std::string Printable(std::string_view bytes);
// "01 02 ff" / "0102ff" -> bytes; false on a bad digit.
bool ParseHex(std::string_view hex, std::string& out);

}  // namespace wire
}  // namespace px
