#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace px {

// The line protocol of the template server devices: frames to the device,
// reply codes and texts, the user record inside a template and the names
// of template files.
namespace kx6ks {

// The address byte of a unit (unit 1 gives 0xE0).
char AddressByte(int unit);
// Sum of the data bytes modulo 256 as two upper-case hexadecimal digits.
std::string Checksum(std::string_view data);
// Address, command, then data and checksum unless the trimmed data is empty, CR.
std::string BuildFrame(int unit, std::string_view command, std::string_view data);

// The result of a reply code for a command: 1 for "AK" or the command's own
// code, the negative codes of the devices otherwise (-99 for an unknown code).
int ReplyResult(std::string_view replyCode, std::string_view command);
// The text shown for a result ("ID Exists", "Busy", ... "? Error").
std::string ResultText(int result);

// The user ID as the device wants it: the number as twelve zero-padded
// digits. False when the ID is not a number of at most twelve digits.
bool UserId12(std::string_view user, std::string& out);

// "ID + FG  000123 FG=2" from the 10-character user record (mode, blank,
// 6-digit ID, 2-digit finger count). A short record is described as far as
// it goes.
std::string DescribeUserRecord(std::string_view record);
// The verification mode named by the record's first character.
std::string ModeText(char c);

// The finger count of a template text (its characters 21-22); -1 when the
// text is too short or the count is not a number.
int FingerCount(std::string_view templateText);
// The template file name of a 12-digit ID.
std::string TemplateFileName(std::string_view id12);

// A client's text as it may appear in a log or memo line: trimmed, one line,
// control and non-ASCII bytes written as escapes ("\r", "\n", "\x1B").
std::string Shown(std::string_view text);

constexpr int kHeaderLen = 32;
constexpr int kBlockLen = 128;
constexpr int kBlocksPerFinger = 6;
// The finger count travels as two digits.
constexpr int kMaxFingers = 99;
// The longest reply a device can owe us, without its CR: address, code,
// header, every block of 99 fingers, checksum.
constexpr size_t kMaxReplyLen = 1 + 2 + kHeaderLen + kMaxFingers * kBlocksPerFinger * kBlockLen + 2;

}  // namespace kx6ks
}  // namespace px
