#include "zk/ZkCardList.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "common/FileIo.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"
#include "platform/Sql.h"

namespace px {

namespace {

// "<dir>/<name>" split at its last slash ("." for a bare name).
void SplitPath(const std::string& path, std::string& dir, std::string& name) {
  size_t slash = path.rfind('/');
  dir = slash == std::string::npos ? "." : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The files of `dir` named one of `names` whatever their letter case, as
// "<dir>/<name on disk>", in the folder's order.
std::vector<std::string> FindAnyCase(const std::string& dir, const std::vector<std::string>& names) {
  std::vector<std::string> found;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      for (const std::string& n : names)
        if (SameText(e->d_name, n)) found.push_back(dir + "/" + e->d_name);
    ::closedir(d);
  }
  return found;
}

}  // namespace

TZkCardList::TZkCardList(TZkModuleState& mod) : mod_(mod), rng_(std::random_device{}()) {}

void TZkCardList::SavetoCardFile(const std::string& user, const std::string& card, const std::string& mode,
                                 const std::string& password) {
  std::string pw = Trim(password);
  if (pw.empty()) pw = IntToStr(std::uniform_int_distribution<int>(0, 99998)(rng_) + 1000);
  UpdateZKList(user, EncodeText(card + mode + pw));
}

bool TZkCardList::ReadFromCardFile(const std::string& user, std::string& card, std::string& mode,
                                   std::string& password) {
  card = "0000000000";
  mode = "F";
  password.clear();
  std::string data = GetZKList(user);
  if (data.empty()) return false;
  std::string record = DecodeText(data);
  card = Copy(record, 1, 10);
  mode = Copy(record, 11, 1);
  if (mode != "C") password = Copy(record, 12, 5);
  return true;
}

void TZkCardList::UpdateZKList(const std::string& user, const std::string& data) {
  std::string key = " where Z_Card=" + SqlQuote(user) + " and Z_Ver='0'";
  mod_.OnLoop([&] {
    DbRows rows;
    if (mod_.host.Select("select * from ZKList" + key, rows) && !rows.rows.empty())
      mod_.host.Exec("update ZKList set Z_Data=" + SqlQuote(data) + key);
    else
      mod_.host.Exec("insert into ZKList(Z_Card,Z_Data,Z_Ver) values(" + SqlQuote(user) + "," + SqlQuote(data) +
                      ",'0')");
  });
}

std::string TZkCardList::GetZKList(const std::string& user) {
  std::string data;
  mod_.OnLoop([&] {
    DbRows rows;
    if (!mod_.host.Select("select Z_Data from ZKList where Z_Card=" + SqlQuote(user) + " and Z_Ver='0'", rows))
      return;
    if (!rows.rows.empty() && !rows.rows[0].empty()) data = rows.rows[0][0];
  });
  return data;
}

void TZkCardList::ClearZKList() {
  mod_.OnLoop([&] {
    DbRows rows;
    if (mod_.host.Select("select Z_Card, Z_Data, Z_Ver from ZKList order by Z_Card", rows))
      for (const auto& r : rows.rows)
        if (r.size() >= 3) mod_.log.WriteLog(999, r[0] + "," + r[1] + "," + r[2]);
    mod_.host.Exec("delete from ZKList where Z_Ver='1' and Z_Card in (select Z_Card from ZKList where Z_Ver='0')");
    mod_.host.Exec("update ZKList set Z_Ver='1'");
    mod_.host.Exec("delete from ZKList where Z_Ver='0'");
  });
}

std::string TZkCardList::TemplatePath(const std::string& user, int n) const {
  std::string base = mod_.settings.AppDir + "templates/Users_" + user;
  return n <= 0 ? base + ".tpl" : base + "_" + IntToStr(n) + ".tpl";
}

bool TZkCardList::SavetoTemplateFile(const std::string& path, const std::vector<std::uint8_t>& buffer) {
  ::mkdir((mod_.settings.AppDir + "templates").c_str(), 0755);
  std::string data(kTemplateSize, '\0');
  std::copy_n(buffer.begin(), std::min(buffer.size(), kTemplateSize), data.begin());
  // Written beside and renamed, so that a reader never sees half a template.
  if (!ReplaceFile(path, data, ".part", false)) {
    mod_.log.WriteLog(999, "<ZK.SaveTpl> cannot write " + path);
    return false;
  }
  return true;
}

void TZkCardList::RemoveTemplateFiles(const std::string& user, const std::vector<int>& keep) {
  std::string dir, name;
  std::vector<std::string> names;
  for (int n = 0; n <= 9; ++n) {
    if (std::find(keep.begin(), keep.end(), n) != keep.end()) continue;
    SplitPath(TemplatePath(user, n), dir, name);
    names.push_back(name);
  }
  for (const std::string& f : FindAnyCase(dir, names))
    if (std::remove(f.c_str()) == 0) mod_.log.WriteLog(10, "ZK.Tpl: " + f + " removed");
}

size_t TZkCardList::TemplateLength(const std::vector<std::uint8_t>& buffer) {
  // The file keeps no length of its own: the zeros that pad it to 2048 bytes
  // are those after the template's last byte that is not zero.
  size_t n = std::min(buffer.size(), kTemplateSize);
  while (n > 0 && buffer[n - 1] == 0) --n;
  return n;
}

bool TZkCardList::ReadFromTemplateFile(const std::string& path, std::vector<std::uint8_t>& buffer) {
  std::string dir, name;
  SplitPath(path, dir, name);
  const std::vector<std::string> found = FindAnyCase(dir, {name});
  if (found.empty()) return false;
  std::ifstream f(found.front(), std::ios::binary);
  if (!f) return false;
  buffer.assign(kTemplateSize, 0);
  f.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(kTemplateSize));
  return true;
}

}  // namespace px
