#pragma once
#include <optional>
#include <string>
#include <vector>

namespace px::sim {

// "1-4,7,9" → {1,2,3,4,7,9}; "all" → 1..16. Numbers outside 1..16, empty
// items and reversed ranges are errors.
std::optional<std::vector<int>> ParseUnitList(const std::string& text);

// "500ms", "5s", "1.5s", "2m"; a bare number means seconds.
std::optional<long> ParseDurationMs(const std::string& text);

// Whole-string decimal integer.
std::optional<long> ParseInt(const std::string& text);

// Blank-separated words.
std::vector<std::string> SplitWords(const std::string& line);

// Splits on `sep`, keeping empty items.
std::vector<std::string> Split(const std::string& text, char sep);

// Reads "\xNN", "\r", "\n", "\0" and "\\" escapes, so odd bytes can be
// written in a scenario or on the command line.
std::string Unescape(const std::string& text);

}  // namespace px::sim
