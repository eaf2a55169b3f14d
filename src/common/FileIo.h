#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace px {

// Helpers of the files that must survive a crash (the spool, the intake
// journal): whole writes, directory syncs, and one-line records of
// tab-separated fields.

// Writes all of `data` (retrying short writes); false on an error.
bool WriteAll(int fd, const std::string& data);
// Reads the whole file; false when it cannot be opened.
bool ReadWhole(const std::string& path, std::string& out);
// Makes a new or renamed directory entry durable: syncs the folder itself
// (`dir`), or the folder of `path`.
void SyncDir(const std::string& dir);
void SyncDirOf(const std::string& path);

// Replaces the file at `path` with `data`: written beside it (`path` +
// `tmpSuffix`) and renamed over it, so a failed write leaves the previous
// file whole and a reader never sees half of one. `durable` also syncs the
// data and the folder. False on any failure (errno tells which), the file
// beside it removed.
bool ReplaceFile(const std::string& path, const std::string& data, const std::string& tmpSuffix, bool durable);

// A field that cannot break its line: backslash, tab, CR, LF and NUL escaped.
std::string EscapeField(const std::string& s);
std::string UnescapeField(const std::string& s);
std::vector<std::string> SplitTabs(const std::string& line);
// Decimal digits only, within 64 bits (the 20-digit names of journal segments too).
bool ParseU64(const std::string& s, std::uint64_t& out);

}  // namespace px
