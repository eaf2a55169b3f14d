#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace px {

// Positions are counted from 1, as in the record layouts of the protocols.
// Every read is bounds-checked: a field beyond the end of the text reads as
// the part that exists (possibly empty), never as a crash.
std::string Copy(std::string_view s, long long pos1, long long count);
// Characters from pos1 to the end.
std::string CopyFrom(std::string_view s, long long pos1);
// Character at pos1, or '\0' when the text is shorter.
char CharAt(std::string_view s, long long pos1);

std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
bool Contains(std::string_view s, std::string_view needle);
// First position (from 1) of needle, 0 when absent.
size_t Pos(std::string_view needle, std::string_view s);

// Decimal (or "0x" hexadecimal) integer; false when the text is not one.
bool TryStrToInt(std::string_view s, long long& out);
long long StrToIntDef(std::string_view s, long long def);
// Like the original's StrToInt: throws std::invalid_argument on bad input.
long long StrToInt(std::string_view s);
std::string IntToStr(long long v);
const char* BoolStr(bool b);  // "true" / "false"

std::string PadRight(std::string_view s, size_t width, char fill = ' ');
std::string PadLeft(std::string_view s, size_t width, char fill = ' ');

}  // namespace px
