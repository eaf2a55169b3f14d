#include "zk/ZkDriver.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

namespace px {

using namespace px::zk;

ZkDriver::~ZkDriver() { ZkDisconnect(); }

bool ZkDriver::ZkLinkUp() { return link_.IsOpen(); }

bool ZkDriver::ZkConnect(const std::string& dottedAddress, int port) {
  link_.Close();
  host_ = dottedAddress;
  port_ = port;
  logs_.clear();
  logPos_ = 0;
  users_.clear();
  userIndex_.clear();
  usersLoaded_ = false;
  fingers_.clear();
  fingersLoaded_ = false;
  if (!link_.Open(host_, port_)) return false;
  if (leftDisabled_) {
    // An earlier batch broke off with the terminal disabled: give it back.
    if (!link_.Command(CMD_ENABLEDEVICE)) return link_.IsOpen();
    leftDisabled_ = false;
  }
  return true;
}

void ZkDriver::ZkDisconnect() {
  if (!link_.IsOpen()) return;
  if (leftDisabled_ && link_.Command(CMD_ENABLEDEVICE)) leftDisabled_ = false;
  if (link_.IsOpen()) {
    // Short wait: the terminal may close first, which is as good.
    ZkLink::Options o = link_.options();
    ZkLink::Options quick = o;
    quick.timeoutMs = std::min(o.timeoutMs, 500);
    link_.SetOptions(quick);
    link_.Command(CMD_EXIT);
    link_.SetOptions(o);
  }
  link_.Close();
}

bool ZkDriver::ZkEnableDevice(int, bool enable) {
  if (!link_.Command(enable ? CMD_ENABLEDEVICE : CMD_DISABLEDEVICE)) return false;
  leftDisabled_ = !enable;
  return true;
}

bool ZkDriver::ZkRestart(int) {
  bool ok = link_.Command(CMD_RESTART);
  // The terminal drops the connection as it restarts.
  link_.Close();
  return ok;
}

bool ZkDriver::ZkRefreshData(int) { return link_.Command(CMD_REFRESHDATA); }

bool ZkDriver::ReadSizes(int& users, int& records) {
  ZkPacket r;
  if (!link_.Request(CMD_GET_FREE_SIZES, {}, r)) return false;
  if (r.command != CMD_ACK_OK || r.data.size() < 36) return false;
  users = static_cast<int>(GetU32(r.data.data() + 16));
  records = static_cast<int>(GetU32(r.data.data() + 32));
  return true;
}

bool ZkDriver::ZkProbe(int, int& value) {
  int users = 0;
  return ReadSizes(users, value);
}

bool ZkDriver::Disabled(const std::function<bool()>& work) {
  // A caller that disabled the terminal itself (a log read that lasts until
  // the clear) keeps it so; otherwise it is disabled for this work only and
  // enabled again whatever the work's outcome, while the link lasts.
  const bool own = !leftDisabled_;
  if (own && !ZkEnableDevice(0, false)) return false;
  bool ok = work();
  if (own && link_.IsOpen() && !ZkEnableDevice(0, true)) ok = false;
  return ok;
}

bool ZkDriver::ReadTableDisabled(uint16_t command, uint32_t fct, std::vector<uint8_t>& table) {
  return Disabled([&] { return link_.ReadTable(command, fct, table); });
}

bool ZkDriver::ZkReadAllLogs(int) {
  logs_.clear();
  logPos_ = 0;
  return Disabled([&] {
    // The count is read with the terminal disabled, so that no clocking
    // falls between it and the table.
    int users = 0, records = 0;
    std::vector<uint8_t> table;
    if (!ReadSizes(users, records) || !link_.ReadTable(CMD_ATTLOG_RRQ, 0, table)) return false;
    if (table.empty()) return false;
    size_t size = ChooseLogSize(table.size(), static_cast<size_t>(std::max(records, 0)), logSize_);
    if (size == 0 || !ParseLogs(table.data(), table.size(), size, logs_)) {
      // Not "no records": the caller must not take the terminal for empty.
      logs_.clear();
      return link_.Abort("attendance table of " + std::to_string(table.size()) +
                         " bytes is no whole number of records");
    }
    logSize_ = size;
    if (size == kLogSmall && !MapSlots()) {
      logs_.clear();
      return false;
    }
    return true;
  });
}

bool ZkDriver::MapSlots() {
  // Short records name the user's slot only; the user table, read now, gives
  // the enrolment number. A slot no user holds any more is given as its
  // number, as the terminals' own software does.
  if (!LoadUsers()) return false;
  std::unordered_map<uint16_t, const std::string*> bySlot;
  for (const ZkUser& u : users_) bySlot.emplace(u.uid, &u.userId);
  for (ZkAttendance& a : logs_) {
    auto it = bySlot.find(a.uid);
    a.userId = it != bySlot.end() ? *it->second : std::to_string(a.uid);
  }
  return true;
}

bool ZkDriver::NextLog(ZkLogRecord& rec, int machine) {
  if (logPos_ >= logs_.size()) return false;
  const ZkAttendance& a = logs_[logPos_++];
  rec = ZkLogRecord{};
  rec.terminal = machine;
  rec.enrolTerminal = machine;
  rec.user = UserNumber(a.userId);
  rec.userText = a.userId;
  rec.verifyMode = a.verify;
  rec.inOutState = a.state;
  rec.year = a.time.year;
  rec.month = a.time.month;
  rec.day = a.time.day;
  rec.hour = a.time.hour;
  rec.minute = a.time.minute;
  rec.second = a.time.second;
  return true;
}

bool ZkDriver::ZkNextLogRecord(int machine, ZkLogRecord& rec) { return NextLog(rec, machine); }

bool ZkDriver::ZkNextLogRecordSSR(int machine, ZkLogRecord& rec) {
  if (logPos_ >= logs_.size()) return false;
  uint32_t workCode = logs_[logPos_].workCode;
  if (!NextLog(rec, machine)) return false;
  rec.terminal = rec.enrolTerminal = 0;
  rec.workCode = static_cast<int>(workCode);
  return true;
}

bool ZkDriver::ZkClearLogs(int) {
  if (!link_.Command(CMD_CLEAR_ATTLOG)) return false;
  logs_.clear();
  logPos_ = 0;
  return true;
}

bool ZkDriver::ZkSetDeviceTime(int) {
  std::time_t now = opt_.now();
  std::tm tm{};
  localtime_r(&now, &tm);
  ZkTime t{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  std::vector<uint8_t> data;
  PutU32(data, ZkEncodeTime(t));
  return link_.Command(CMD_SET_TIME, data);
}

bool ZkDriver::LoadUsers() {
  users_.clear();
  userIndex_.clear();
  usersLoaded_ = false;
  userPos_ = 0;
  std::vector<uint8_t> table;
  int users = 0, records = 0;
  if (!Disabled([&] { return ReadSizes(users, records) && link_.ReadTable(CMD_USERTEMP_RRQ, FCT_USER, table); }))
    return false;
  if (!table.empty()) {
    size_t size = ChooseUserSize(table.size(), static_cast<size_t>(std::max(users, 0)), userSize_);
    if (size == 0 || !ParseUsers(table.data(), table.size(), size, users_)) {
      users_.clear();
      IndexUsers();
      return link_.Abort("user table of " + std::to_string(table.size()) + " bytes is no whole number of records");
    }
    userSize_ = size;
  }
  IndexUsers();
  usersLoaded_ = true;
  usersReadAt_ = std::chrono::steady_clock::now();
  return true;
}

bool ZkDriver::EnsureUsers() { return usersLoaded_ || LoadUsers(); }

bool ZkDriver::FreshUsers(std::chrono::milliseconds maxAge) {
  // Users enrolled at the keypad take slots too: a slot is chosen or named
  // for a write only from a table read moments ago, never from one kept for
  // the life of the connection.
  if (usersLoaded_ && std::chrono::steady_clock::now() - usersReadAt_ <= maxAge) return true;
  return LoadUsers();
}

void ZkDriver::IndexUsers() {
  userIndex_.clear();
  for (size_t i = 0; i < users_.size(); ++i) userIndex_.emplace(users_[i].userId, i);
}

const ZkUser* ZkDriver::FindUser(const std::string& userId) {
  auto it = userIndex_.find(userId);
  return it == userIndex_.end() ? nullptr : &users_[it->second];
}

bool ZkDriver::ZkReadAllUserIds(int) {
  fingers_.clear();
  fingersLoaded_ = false;
  return LoadUsers();
}

bool ZkDriver::ZkReadAllTemplates(int) {
  fingers_.clear();
  fingersLoaded_ = false;
  std::vector<uint8_t> table;
  if (!ReadTableDisabled(CMD_DB_RRQ, FCT_FINGERTMP, table)) return false;
  std::vector<ZkFinger> list;
  if (!ParseFingers(table.data(), table.size(), list)) return false;
  for (ZkFinger& f : list) {
    std::pair<uint16_t, int> key{f.uid, f.finger};
    fingers_[key] = std::move(f);
  }
  fingersLoaded_ = true;
  return true;
}

bool ZkDriver::NextUser(ZkUserInfo& info) {
  if (userPos_ >= users_.size()) return false;
  const ZkUser& u = users_[userPos_++];
  info = ZkUserInfo{};
  info.user = UserNumber(u.userId);
  info.userText = u.userId;
  info.name = u.name;
  info.password = u.password;
  info.privilege = u.privilege;
  info.enabled = u.enabled;
  lastCard_ = std::to_string(u.card);
  return true;
}

bool ZkDriver::ZkNextUserInfo(int, ZkUserInfo& info) { return NextUser(info); }
bool ZkDriver::ZkNextUserInfoSSR(int, ZkUserInfo& info) { return NextUser(info); }

bool ZkDriver::ZkGetUserInfo(int machine, int user, ZkUserInfo& info) {
  return ZkGetUserInfoSSR(machine, std::to_string(user), info);
}

bool ZkDriver::ZkGetUserInfoSSR(int, const std::string& user, ZkUserInfo& info) {
  if (!EnsureUsers()) return false;
  const ZkUser* u = FindUser(user);
  if (!u) return false;
  info = ZkUserInfo{};
  info.user = UserNumber(u->userId);
  info.userText = u->userId;
  info.name = u->name;
  info.password = u->password;
  info.privilege = u->privilege;
  info.enabled = u->enabled;
  lastCard_ = std::to_string(u->card);
  return true;
}

std::string ZkDriver::ZkGetCardNumber(int) { return lastCard_; }
void ZkDriver::ZkSetCardNumber(int, const std::string& card) { nextCard_ = card; }

bool ZkDriver::SetUser(const std::string& userId, const std::string& name, const std::string& password,
                       int privilege, bool enabled) {
  if (userId.empty() || !FreshUsers(std::chrono::milliseconds(0))) return false;
  ZkUser u;
  if (const ZkUser* old = FindUser(userId)) {
    u = *old;
  } else {
    uint16_t top = 0;
    for (const ZkUser& x : users_) top = std::max(top, x.uid);
    if (top == 0xFFFF) return false;
    u.uid = static_cast<uint16_t>(top + 1);
    u.userId = userId;
  }
  u.name = name;
  u.password = password;
  u.privilege = privilege;
  u.enabled = enabled;
  if (!nextCard_.empty()) {
    char* end = nullptr;
    unsigned long long card = std::strtoull(nextCard_.c_str(), &end, 10);
    if (end == nextCard_.c_str() || *end != '\0' || card > 0xFFFFFFFFull) return false;
    u.card = static_cast<uint32_t>(card);
  }
  if (!WriteUserRecord(u)) return false;
  // The card set is spent on this user; the next user does not inherit it.
  nextCard_.clear();
  lastCard_ = std::to_string(u.card);
  auto it = std::find_if(users_.begin(), users_.end(), [&](const ZkUser& x) { return x.uid == u.uid; });
  if (it != users_.end()) {
    *it = u;
  } else {
    users_.push_back(u);
  }
  IndexUsers();
  return true;
}

bool ZkDriver::Fits(const ZkUser& u, size_t size) {
  // Refuse what the record cannot hold rather than write another user id or
  // a cut password.
  bool small = size == kUserSmall;
  if (small ? std::to_string(UserNumber(u.userId)) != u.userId || UserNumber(u.userId) == 0 : u.userId.size() > 23)
    return false;
  return u.password.size() <= (small ? 5u : 8u);
}

bool ZkDriver::WriteUserRecord(const ZkUser& u) {
  if (userSize_ != 0) return Fits(u, userSize_) && link_.Command(CMD_USER_WRQ, BuildUser(u, userSize_));
  // A terminal without users has not shown its record layout: the larger is
  // offered first, the smaller when it is refused, and the table read back
  // settles which one the terminal keeps.
  size_t tried = 0;
  for (size_t size : {kUserLarge, kUserSmall}) {
    if (!Fits(u, size)) continue;
    if (link_.Command(CMD_USER_WRQ, BuildUser(u, size))) {
      tried = size;
      break;
    }
    if (!link_.IsOpen()) return false;
  }
  if (tried == 0 || !LoadUsers()) return false;
  if (userSize_ == tried) return FindUser(u.userId) != nullptr;
  // Taken, but kept in the other layout: written again in that one.
  return userSize_ != 0 && Fits(u, userSize_) && link_.Command(CMD_USER_WRQ, BuildUser(u, userSize_));
}

bool ZkDriver::ZkSetUserInfo(int, int user, const std::string& name, const std::string& password,
                             int privilege, bool enabled) {
  return SetUser(std::to_string(user), name, password, privilege, enabled);
}

bool ZkDriver::ZkSetUserInfoSSR(int, const std::string& user, const std::string& name,
                                const std::string& password, int privilege, bool enabled) {
  return SetUser(user, name, password, privilege, enabled);
}

bool ZkDriver::DeleteUser(const std::string& userId, int backupNumber) {
  if (!FreshUsers(std::chrono::milliseconds(0))) return false;
  const ZkUser* u = FindUser(userId);
  if (!u) return false;
  uint16_t uid = u->uid;
  std::vector<uint8_t> data;
  PutU16(data, uid);
  if (backupNumber == 12) {
    if (!link_.Command(CMD_DELETE_USER, data)) return false;
    users_.erase(std::remove_if(users_.begin(), users_.end(), [&](const ZkUser& x) { return x.uid == uid; }),
                 users_.end());
    IndexUsers();
    for (auto it = fingers_.begin(); it != fingers_.end();)
      it = it->first.first == uid ? fingers_.erase(it) : std::next(it);
    return true;
  }
  if (backupNumber < 0 || backupNumber > 9) return false;
  data.push_back(static_cast<uint8_t>(backupNumber));
  if (!link_.Command(CMD_DELETE_USERTEMP, data)) return false;
  fingers_.erase({uid, backupNumber});
  return true;
}

bool ZkDriver::ZkDeleteUser(int, int user, int backupNumber) {
  return DeleteUser(std::to_string(user), backupNumber);
}

bool ZkDriver::ZkDeleteUserSSR(int, const std::string& user, int backupNumber) {
  return DeleteUser(user, backupNumber);
}

bool ZkDriver::GetTemplate(const std::string& userId, int finger, int& flag, std::vector<uint8_t>& data) {
  data.clear();
  flag = 0;
  if (finger < 0 || finger > 9 || !EnsureUsers()) return false;
  const ZkUser* u = FindUser(userId);
  if (!u) return false;
  if (fingersLoaded_) {
    auto it = fingers_.find({u->uid, finger});
    if (it == fingers_.end() || it->second.data.size() > 2048) return false;
    flag = it->second.flag;
    data = it->second.data;
    return !data.empty();
  }
  std::vector<uint8_t> req;
  PutU16(req, u->uid);
  req.push_back(static_cast<uint8_t>(finger));
  ZkPacket first;
  if (!link_.Request(CMD_USERTEMP_RRQ, req, first)) return false;
  if (first.command != CMD_DATA && first.command != CMD_PREPARE_DATA) return false;  // not enrolled
  if (!link_.CollectData(first, data)) return false;
  if (data.empty() || data.size() > 2048) {
    data.clear();
    return false;
  }
  flag = 1;
  return true;
}

bool ZkDriver::ZkGetTemplate(int, int user, int finger, std::vector<std::uint8_t>& data) {
  int flag = 0;
  return GetTemplate(std::to_string(user), finger, flag, data);
}

bool ZkDriver::ZkGetTemplateSSR(int, const std::string& user, int finger, std::vector<std::uint8_t>& data) {
  int flag = 0;
  return GetTemplate(user, finger, flag, data);
}

bool ZkDriver::ZkGetTemplateEx(int, const std::string& user, int finger, int& flag,
                               std::vector<std::uint8_t>& data) {
  return GetTemplate(user, finger, flag, data);
}

bool ZkDriver::SetTemplate(const std::string& userId, int finger, int flag, const std::vector<uint8_t>& data) {
  if (finger < 0 || finger > 9 || data.empty() || data.size() > 2048 || !FreshUsers(kSlotCheck)) return false;
  const ZkUser* u = FindUser(userId);
  if (!u) return false;
  uint16_t uid = u->uid;
  if (!link_.WriteBuffer(data)) return false;
  std::vector<uint8_t> req;
  PutU16(req, uid);
  req.push_back(static_cast<uint8_t>(finger));
  req.push_back(static_cast<uint8_t>(flag));
  PutU16(req, static_cast<uint16_t>(data.size()));
  if (!link_.Command(CMD_TMP_WRITE, req)) return false;
  if (!link_.Command(CMD_FREE_DATA)) return false;
  if (fingersLoaded_) fingers_[{uid, finger}] = ZkFinger{uid, finger, flag, data};
  return true;
}

bool ZkDriver::ZkSetTemplate(int, int user, int finger, const std::vector<std::uint8_t>& data) {
  return SetTemplate(std::to_string(user), finger, 1, data);
}

bool ZkDriver::ZkSetTemplateSSR(int, const std::string& user, int finger, const std::vector<std::uint8_t>& data) {
  return SetTemplate(user, finger, 1, data);
}

bool ZkDriver::ZkSetTemplateEx(int, const std::string& user, int finger, int flag,
                               const std::vector<std::uint8_t>& data) {
  return SetTemplate(user, finger, flag, data);
}

bool ZkDriver::ZkSetVerifyStyle(int, int user, int style) {
  if (style < 0 || style > 255 || !FreshUsers(kSlotCheck)) return false;
  const ZkUser* u = FindUser(std::to_string(user));
  if (!u) return false;
  std::vector<uint8_t> req;
  PutU16(req, u->uid);
  req.push_back(static_cast<uint8_t>(style));
  req.resize(24, 0);
  return link_.Command(CMD_VERIFY_WRQ, req);
}

bool ZkDriver::ZkSetTimeZone(int, int zone, const std::string& week) {
  // Seven days, Sunday first, each "hhmmhhmm".
  if (zone < 1 || week.size() != 56 ||
      !std::all_of(week.begin(), week.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  std::vector<uint8_t> req;
  PutU32(req, static_cast<uint32_t>(zone));
  for (size_t i = 0; i < 56; i += 2) {
    int v = (week[i] - '0') * 10 + (week[i + 1] - '0');
    bool hour = (i / 2) % 2 == 0;
    if (v > (hour ? 24 : 59)) return false;
    req.push_back(static_cast<uint8_t>(v));
  }
  return link_.Command(CMD_TZ_WRQ, req);
}

bool ZkDriver::ZkSetUserTimeZones(int, int user, const std::string& zones) {
  // "a:b:c", up to three zone numbers; none means the user follows the group.
  uint32_t tz[3] = {0, 0, 0};
  size_t n = 0, pos = 0;
  while (pos <= zones.size() && !zones.empty()) {
    size_t colon = zones.find(':', pos);
    std::string part = zones.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
    if (n == 3 || part.empty() || part.size() > 5 ||
        !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    tz[n++] = static_cast<uint32_t>(std::stoul(part));
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  if (!FreshUsers(kSlotCheck)) return false;
  const ZkUser* u = FindUser(std::to_string(user));
  if (!u) return false;
  std::vector<uint8_t> req;
  PutU32(req, u->uid);
  PutU32(req, (tz[0] || tz[1] || tz[2]) ? 1 : 0);
  for (uint32_t z : tz) PutU32(req, z);
  return link_.Command(CMD_USERTZ_WRQ, req);
}

}  // namespace px
