#include "templateserver/KX6KSFrame.h"

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px::kx6ks {

char AddressByte(int unit) { return static_cast<char>(0xDF + unit); }

std::string Checksum(std::string_view data) {
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  static const char* hex = "0123456789ABCDEF";
  sum &= 0xFF;
  return {hex[sum >> 4], hex[sum & 0xF]};
}

std::string BuildFrame(int unit, std::string_view command, std::string_view data) {
  std::string f(1, AddressByte(unit));
  f.append(command);
  if (!Trim(data).empty()) {
    f.append(data);
    f += Checksum(data);
  }
  f += '\r';
  return f;
}

int ReplyResult(std::string_view code, std::string_view command) {
  if (code == "AK" || code == command) return 1;
  if (code == "UE") return -1;
  if (code == "BZ") return -2;
  if (code == "NO") return -3;
  if (code == "TE") return -4;
  if (code == "LR") return -5;
  if (code == "UN") return -6;
  if (code == "NK") return -7;
  return -99;
}

std::string ResultText(int result) {
  switch (result) {
    case -1: return "ID Exists";
    case -2: return "Busy";
    case -3: return "Device Failed";
    case -4: return "Template Exists";
    case -5: return "User DB Full";
    case -6: return "No Such ID";
    default: return "? Error";
  }
}

bool UserId12(std::string_view user, std::string& out) {
  std::string t = Trim(user);
  if (t.empty() || t.size() > 12) return false;
  for (char c : t)
    if (c < '0' || c > '9') return false;
  out = PadLeft(t, 12, '0');
  return true;
}

std::string ModeText(char c) {
  switch (c) {
    case '9': return "ID only";
    case 'A': return "Master";
    case 'B': return "Power";
    case 'C': return "ID + FG";
    case 'D': return "FG Only";
    case 'E': return "ID + PIN";
    case 'F': return "Card + FG";
    default: return std::string("Undefined[") + c + "]";
  }
}

std::string DescribeUserRecord(std::string_view record) {
  if (record.empty()) return {};
  const std::string fg = Trim(Copy(record, 9, 2));
  long long n = 0;
  return ModeText(record[0]) + "  " + Copy(record, 3, 6) + " FG=" +
         (TryStrToInt(fg, n) ? IntToStr(n) : fg);
}

int FingerCount(std::string_view text) {
  if (text.size() < 22) return -1;
  const std::string fg = Copy(text, 21, 2);
  if (fg.size() != 2 || fg[0] < '0' || fg[0] > '9' || fg[1] < '0' || fg[1] > '9') return -1;
  return (fg[0] - '0') * 10 + (fg[1] - '0');
}

std::string Shown(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : Trim(text)) {
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7F) out += {'\\', 'x', hex[c >> 4], hex[c & 0xF]};
    else out += static_cast<char>(c);
  }
  return out;
}

std::string TemplateFileName(std::string_view id12) { return std::string(id12) + "T_KT7100.efm"; }

}  // namespace px::kx6ks
