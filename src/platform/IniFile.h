#pragma once
#include <map>
#include <string>
#include <vector>

namespace px {

// Read-only profile (INI) file with the semantics the configuration relies
// on: sections in brackets, key=value lines, section and key names compared
// without regard to case, values trimmed (and unquoted when quoted), ';'
// comment lines. A missing file reads as empty. Integers are decimal or "0x"
// hexadecimal; a missing or unparsable value gives the default; a boolean is
// an integer, non-zero meaning true.
class TIniFile {
public:
  explicit TIniFile(const std::string& path);
  bool Loaded() const { return loaded_; }
  const std::string& FileName() const { return path_; }

  bool ValueExists(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  long long ReadInteger(const std::string& section, const std::string& key, long long def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // The key names of a section (lower-cased), for sections whose keys are
  // names the installation chooses.
  std::vector<std::string> ReadSection(const std::string& section) const;

  static TIniFile FromText(const std::string& text);

private:
  TIniFile() = default;
  void Parse(const std::string& text);
  std::string path_;
  bool loaded_ = false;
  std::map<std::string, std::map<std::string, std::string>> data_;  // lower-cased names
};

}  // namespace px
