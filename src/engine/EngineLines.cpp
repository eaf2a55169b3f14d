#include "engine/EngineLines.h"

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {
std::string S(std::string_view v) { return std::string(v); }
long long Len(std::string_view v) { return static_cast<long long>(v.size()); }
}  // namespace

std::string SerialReplyOk(std::string_view frame) { return "OK" + Copy(frame, 2, Len(frame) - 3); }

std::string SerialReplyLine(int bus, int unit, std::string_view id, std::string_view result) {
  return Format("M%2.2d%2.2d", bus, unit) + S(id) + S(result);
}

std::string SerialCardProgressLine(int bus, int unit, std::string_view id, int count) {
  return Format("C%2.2d%2.2d", bus, unit) + S(id) + Format("%5d", count);
}

std::string SerialTransLine(int bus, int unit, std::string_view record) {
  return Format("T%2.2d%2.2d", bus, unit) + S(record);
}

std::string SerialUpDownLine(int bus, int unit, bool up) {
  return Format("S%2.2d%s%2.2d", unit, up ? "UP" : "DN", bus);
}

std::string SerialRawLine(int bus, int unit, std::string_view record) {
  return Format("%3d", (bus - 1) * 16 + unit) + S(record);
}

std::string IpReplyText(std::string_view frame) { return Copy(frame, 3, Len(frame) - 5); }

std::string IpReplyLine(int unit, std::string_view id, std::string_view ip, std::string_view replyText) {
  return Format("I%2.2d", unit) + S(id) + "OK" + Format("%15s", S(ip).c_str()) + S(replyText);
}

std::string IpFailLine(int unit, std::string_view id, std::string_view ip) {
  return Format("I%2.2d", unit) + S(id) + "XX" + S(ip);
}

std::string IpCardProgressLine(int unit, std::string_view id, int count) {
  return Format("C%2.2dBB", unit) + S(id) + Format("%5d", count);
}

std::string IpCardEndLine(int unit, std::string_view id, std::string_view ip) {
  return Format("I%2.2d", unit) + S(id) + "OK" + Format("%15s", S(ip).c_str());
}

std::string IpTransLine(int unit, std::string_view record, std::string_view ip) {
  return Format("%3d", unit) + S(record) + " " + S(ip);
}

std::string IpUpDownLine(int unit, bool up, std::string_view ip) {
  return Format("S%2.2d%s", unit, up ? "UP" : "DN") + S(ip);
}

}  // namespace px
