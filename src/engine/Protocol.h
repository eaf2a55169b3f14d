#pragma once
#include <string>
#include <string_view>

#include "common/DateTime.h"

namespace px {

// Controller frames: one address byte (0xCF + unit 1..16), a 2-letter code,
// optional parameter text with a 2-hex-digit checksum, CR.
constexpr char kCR = '\r';
constexpr int kAddressBase = 0xCF;

inline char UnitAddress(int unit) { return static_cast<char>(kAddressBase + unit); }
// Unit of an address byte (byte value - 207); outside 1..16 for other bytes.
inline int UnitOfAddress(char b) { return static_cast<unsigned char>(b) - kAddressBase; }
// The address bytes of a serial bus: 0xD0 (unit 1) .. 0xDF (unit 16).
inline bool IsBusAddress(char b) {
  auto v = static_cast<unsigned char>(b);
  return v >= 0xD0 && v <= 0xDF;
}

// The first complete frame of a receive ring's text: up to the first CR,
// from the last address byte before it (anything earlier belongs to a frame
// that was cut off). Without a CR, the text from the last address byte.
// "" when there is no address byte. `serial` selects 0xD0..0xDF as address
// bytes, otherwise any byte above 0xCF.
std::string ExtractFrame(std::string_view text, bool serial);

// Byte sum modulo 256 as "%2.2X"; "" when the text is blank.
std::string CalcCheckSum(std::string_view text);
// Byte sum modulo 256 as "%2.2X", whatever the text (reply checks).
std::string ByteSumHex(std::string_view text);

// Wire code of a 5-letter command name ("PULSE" -> "PR"); "" when unknown.
std::string CmdCodeOf(std::string_view name);
// 5-letter text of a wire code for monitor and log lines; "***" when unknown.
std::string GetCmdDesc(std::string_view code);

// The local time as "hhmmsszzz": the ID a command carries to its reply.
std::string MakeCommandId(const DateTime& t);

// Address, code, then parameters and their checksum unless blank, then CR.
std::string BuildCommandFrame(int unit, std::string_view code, std::string_view params);
// Address, poll code, CR.
std::string BuildPollFrame(int unit, std::string_view code);

// A frame as it goes on the wire: an SC (set clock) frame gets its
// parameters replaced by "ddmmyy", the weekday digit (0 = Sunday) and
// "hhmmss" of `now`, with checksum and CR; address and code are kept.
// Every other frame is returned unchanged.
std::string PrepareFrameForSend(const std::string& frame, const DateTime& now);

// Model text of a VN reply -> whether its door-status format is known.
// `ip` adds the models only IP channels speak.
bool IsKnownModel(std::string_view model, bool ip = false);

// Door-status text of a unit from its status A and B (see GetDoorStatus).
std::string DoorStatusText(std::string_view statusA, std::string_view statusB, bool modelKnown);

}  // namespace px
