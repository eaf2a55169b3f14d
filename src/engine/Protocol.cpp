#include "engine/Protocol.h"

#include <array>

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {

struct CommandRow {
  const char* name;  // accepted by SendCommand
  const char* code;  // on the wire
  const char* desc;  // shown for the code
};

// The command set. AR and SH are described by a name other than the one
// accepted, as the controllers' own tools call them.
constexpr std::array<CommandRow, 39> kCommands{{
    {"VERSI", "VN", "VERSI"}, {"PULSE", "PR", "PULSE"}, {"DATTM", "SC", "DATTM"}, {"TIMER", "ST", "TIMER"},
    {"TZONE", "AT", "TZONE"}, {"HDAY2", "SH", "HDAYS"}, {"ALRTZ", "SD", "ALRTZ"}, {"PINTZ", "PZ", "PINTZ"},
    {"CUSTP", "CC", "CUSTP"}, {"APBDL", "SA", "APBDL"}, {"DOORP", "SP", "DOORP"}, {"PLENG", "LG", "PLENG"},
    {"PCOD2", "PC", "PCOD2"}, {"CCARD", "CZ", "CCARD"}, {"CTRAN", "TZ", "CTRAN"}, {"UCARD", "RC", "UCARD"},
    {"FZONE", "FZ", "FZONE"}, {"LOCKR", "LR", "LOCKR"}, {"UPDTZ", "UT", "UPDTZ"}, {"PCOD1", "PE", "PCOD1"},
    {"HDAY1", "HD", "HDAY1"}, {"DAYLG", "SL", "DAYLG"}, {"APBMD", "PB", "APBMD"}, {"ONOUT", "ON", "ONOUT"},
    {"OFOUT", "OF", "OFOUT"}, {"OUTTZ", "OT", "OUTTZ"}, {"ARMSN", "AR", "ARMZN"}, {"DISSN", "DS", "DISSN"},
    {"INCSN", "AS", "INCSN"}, {"EXCSN", "IS", "EXCSN"}, {"SENTZ", "IT", "SENTZ"}, {"LOTSZ", "LS", "LOTSZ"},
    {"FULLS", "CF", "FULLS"}, {"RSCNT", "CT", "RSCNT"}, {"CLAPB", "RA", "CLAPB"}, {"RTAPB", "LH", "RTAPB"},
    {"INPIN", "VP", "INPIN"}, {"INSCD", "AC", "INSCD"}, {"DELCD", "DC", "DELCD"},
}};

// Value of an upper-case hexadecimal pair; a field that is shorter than two
// characters has not been reported yet and reads as 0, as does a character
// outside the alphabet.
int HexPair(std::string_view s) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  if (s.size() < 2) return 0;
  int v = 0;
  for (size_t i = 0; i < 2; ++i) {
    auto p = kDigits.find(s[i]);
    v = v * 16 + (p == std::string_view::npos ? 0 : static_cast<int>(p));
  }
  return v;
}

}  // namespace

std::string ByteSumHex(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return Format("%2.2X", sum % 256);
}

std::string CalcCheckSum(std::string_view text) {
  if (Trim(text).empty()) return {};
  return ByteSumHex(text);
}

std::string ExtractFrame(std::string_view text, bool serial) {
  auto isAddress = [serial](char c) {
    return serial ? IsBusAddress(c) : static_cast<unsigned char>(c) > kAddressBase;
  };
  size_t from = 0;
  while (from < text.size()) {
    size_t cr = text.find(kCR, from);
    size_t end = cr == std::string_view::npos ? text.size() : cr + 1;
    for (size_t i = end; i-- > from;)
      if (isAddress(text[i])) return std::string(text.substr(i, end - i));
    from = end;  // a CR without a frame start: skip it
  }
  return {};
}

std::string CmdCodeOf(std::string_view name) {
  for (const auto& r : kCommands)
    if (name == r.name) return r.code;
  return {};
}

std::string GetCmdDesc(std::string_view code) {
  for (const auto& r : kCommands)
    if (code == r.code) return r.desc;
  return "***";
}

std::string MakeCommandId(const DateTime& t) { return FormatDateTime("hhnnsszzz", t); }

std::string BuildCommandFrame(int unit, std::string_view code, std::string_view params) {
  std::string f(1, UnitAddress(unit));
  f += code;
  if (!Trim(params).empty()) {
    f += params;
    f += CalcCheckSum(params);
  }
  f += kCR;
  return f;
}

std::string BuildPollFrame(int unit, std::string_view code) { return BuildCommandFrame(unit, code, ""); }

std::string PrepareFrameForSend(const std::string& frame, const DateTime& now) {
  if (Copy(frame, 2, 2) != "SC") return frame;
  std::string params = FormatDateTime("ddmmyy", now) + IntToStr(now.DayOfWeek()) + FormatDateTime("hhnnss", now);
  return Copy(frame, 1, 3) + params + CalcCheckSum(params) + kCR;
}

bool IsKnownModel(std::string_view model, bool ip) {
  static constexpr std::array<std::string_view, 6> kModels{"KX4100", "KX470", "KX4130", "KX6000", "KX460", "KX4135"};
  for (auto m : kModels)
    if (model == m) return true;
  if (model.substr(0, 6) == "KX5800") return true;
  return ip && model == "KX6000S";
}

std::string DoorStatusText(std::string_view statusA, std::string_view statusB, bool modelKnown) {
  if (!modelKnown) return std::string(statusA) + std::string(statusB);
  int a = HexPair(statusA);
  int x = HexPair(Copy(statusB, 3, 2));
  int first = a & 0x1F;
  int second = (a & 0x40) ? 1 : 0;
  int third = ((a & 0x20) ? 1 : 0) + ((x & 1) ? 2 : 0) + ((x & 2) ? 4 : 0);
  return Format("%2.2X%2.2X%2.2X", first, second, third);
}

}  // namespace px
