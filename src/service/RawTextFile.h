#pragma once
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"
#include "service/Settings.h"

namespace px {

// The raw attendance text file: one line per in/out clocking, in a daily
// file (by default "m" + yyyymmdd + ".txt") that another attendance program
// picks up. Its layout comes from the "Raw Format" settings. Loop thread only.
class TRawTextFile {
public:
  TRawTextFile(ServiceSettings& settings, ILog& log);

  // Splits a setting at its commas into the raw settings: kind "N" the file
  // name pattern (prefix, date format, extension), "F" the field list, "L"
  // the format list.
  void BreakRaw(const std::string& kind, const std::string& text);
  // Appends one line for the clocking to the day's file.
  void DumpTOTextFile(const std::string& record, const std::string& tag, const std::string& staff,
                      const std::string& card, const std::string& code, const DateTime& date, const DateTime& time);
  // The line the field and format lists describe; empty (and logged) when
  // the lists do not fit together.
  std::string FormatRawLine(const std::string& staff, const std::string& card, const std::string& code,
                            const DateTime& date, const DateTime& time);
  // Folder and name of the file for a day.
  std::string FileName(const DateTime& date) const;
  std::string Folder() const;

private:
  ServiceSettings& settings_;
  ILog& log_;
};

}  // namespace px
