#include "platform/IniFile.h"

#include <fstream>
#include <sstream>

#include "common/StrUtil.h"

namespace px {

TIniFile::TIniFile(const std::string& path) : path_(path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::stringstream ss;
  ss << in.rdbuf();
  loaded_ = true;
  Parse(ss.str());
}

TIniFile TIniFile::FromText(const std::string& text) {
  TIniFile f;
  f.loaded_ = true;
  f.Parse(text);
  return f;
}

void TIniFile::Parse(const std::string& text) {
  std::istringstream in(text);
  std::string line, section;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      auto close = t.find(']');
      section = LowerCase(Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
      continue;
    }
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = LowerCase(Trim(t.substr(0, eq)));
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
      value = value.substr(1, value.size() - 2);
    auto& sec = data_[section];
    if (!sec.count(key)) sec[key] = value;  // the first occurrence wins, as in profile files
  }
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  auto s = data_.find(LowerCase(section));
  return s != data_.end() && s->second.count(LowerCase(key));
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  auto s = data_.find(LowerCase(section));
  if (s == data_.end()) return def;
  auto k = s->second.find(LowerCase(key));
  return k == s->second.end() ? def : k->second;
}

long long TIniFile::ReadInteger(const std::string& section, const std::string& key, long long def) const {
  if (!ValueExists(section, key)) return def;
  return StrToIntDef(ReadString(section, key, ""), def);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  auto s = data_.find(LowerCase(section));
  if (s != data_.end())
    for (const auto& kv : s->second) keys.push_back(kv.first);
  return keys;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

}  // namespace px
