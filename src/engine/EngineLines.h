#pragma once
#include <string>
#include <string_view>

namespace px {

// Every text line the engine hands to the service or to the raw capture
// file is built here, so the serial bus, the IP channels and the single
// socket all produce the same layouts. BB bus and UU unit are "%2.2d",
// ID the 9-character command ID.

// "OK" and characters 2 to L-2 of a serial reply frame (L counting the
// address byte and the CR): the code, the data and the first checksum digit.
std::string SerialReplyOk(std::string_view frame);
// "M" BB UU ID result ("OK..." or "XX").
std::string SerialReplyLine(int bus, int unit, std::string_view id, std::string_view result);
// "C" BB UU ID "%5d" count: progress of a card upload.
std::string SerialCardProgressLine(int bus, int unit, std::string_view id, int count);
// "T" BB UU record.
std::string SerialTransLine(int bus, int unit, std::string_view record);
// "S" UU "UP"/"DN" BB.
std::string SerialUpDownLine(int bus, int unit, bool up);
// "%3d" logical point, then the record.
std::string SerialRawLine(int bus, int unit, std::string_view record);

// Characters 3 to L-3 of an IP reply frame: the second code character and the data.
std::string IpReplyText(std::string_view frame);
// "I" UU ID "OK" "%15s" IP reply text.
std::string IpReplyLine(int unit, std::string_view id, std::string_view ip, std::string_view replyText);
// "I" UU ID "XX" IP.
std::string IpFailLine(int unit, std::string_view id, std::string_view ip);
// "C" UU "BB" ID "%5d" count.
std::string IpCardProgressLine(int unit, std::string_view id, int count);
// "I" UU ID "OK" "%15s" IP.
std::string IpCardEndLine(int unit, std::string_view id, std::string_view ip);
// "%3d" unit, record, blank, IP: both the transaction line and the raw line.
std::string IpTransLine(int unit, std::string_view record, std::string_view ip);
// "S" UU "UP"/"DN" IP.
std::string IpUpDownLine(int unit, bool up, std::string_view ip);

}  // namespace px
