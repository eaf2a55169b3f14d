#include "service/RawTextFile.h"

#include <cstdio>
#include <stdexcept>

#include "common/StrUtil.h"

namespace px {

TRawTextFile::TRawTextFile(ServiceSettings& settings, ILog& log) : settings_(settings), log_(log) {}

void TRawTextFile::BreakRaw(const std::string& kind, const std::string& text) {
  try {
    ApplyRawItems(settings_.Raw, kind, text);
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<BreakRaw>") + e.what());
  }
}

std::string TRawTextFile::Folder() const {
  std::string folder = settings_.Raw.Folder.empty() ? settings_.AppDir : settings_.Raw.Folder;
  if (!folder.empty() && !EndsWith(folder, "/")) folder += "/";
  return folder;
}

std::string TRawTextFile::FileName(const DateTime& date) const {
  const RawSettings& raw = settings_.Raw;
  return raw.FilePrefix + FormatDateTime(raw.FileDateFormat, date) + "." + raw.FileExt;
}

std::string TRawTextFile::FormatRawLine(const std::string& staff, const std::string&, const std::string&,
                                        const DateTime& date, const DateTime& time) {
  const RawSettings& raw = settings_.Raw;
  std::string line;
  try {
    for (size_t i = 0; i < raw.FieldList.size(); ++i) {
      // Every field has its format item, empty ones included.
      if (i >= raw.FormatList.size())
        throw std::out_of_range("List index out of bounds (" + IntToStr(static_cast<long long>(i)) + ")");
      const std::string& field = raw.FieldList[i];
      const std::string& format = raw.FormatList[i];
      if (field == "STF") line += staff;
      else if (field == "SPC") line += " ";
      else if (field == "FIL") line += format;
      else if (field == "DAT") line += FormatDateTime(format, date);
      else if (field == "TIM") line += FormatDateTime(format, time);
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<FormatRaw>") + e.what());
    line.clear();
  }
  return line;
}

void TRawTextFile::DumpTOTextFile(const std::string& record, const std::string& tag, const std::string& staff,
                                  const std::string& card, const std::string& code, const DateTime& date,
                                  const DateTime& time) {
  try {
    const RawSettings& raw = settings_.Raw;
    std::string folder = Folder(), name = FileName(date);
    log_.WriteLog(20, "Enter DumpTOTextFile : " + folder + name);
    std::string line;
    if (settings_.RawReDir) {
      line = record;
    } else if (!raw.FieldList.empty()) {
      line = FormatRawLine(staff, card, code, date, time);
    } else {
      line = tag + "," + FormatDateTime(raw.DateFormat, date) + "," + FormatDateTime(raw.TimeFormat, time) + "," +
             staff + "," + (code == "0" ? raw.InMark : raw.OutMark);
    }
    line += "\n";
    FILE* f = std::fopen((folder + name).c_str(), "ab");
    if (!f) throw std::runtime_error("Cannot open file \"" + folder + name + "\"");
    bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) throw std::runtime_error("Cannot write file \"" + folder + name + "\"");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<DumpToText>") + e.what());
  }
}

}  // namespace px
