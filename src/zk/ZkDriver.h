#pragma once
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "zk/IZKEM.h"
#include "zk/ZkLink.h"
#include "zk/ZkRecords.h"

namespace px {

// IZKEM spoken natively over TCP to one terminal. Not thread-safe: one
// instance per terminal, used from one thread at a time.
//
// ZkProbe asks the terminal for its table sizes; `value` is the number of
// attendance records it holds. ZkReadAllLogs is false when the terminal holds
// no record and when the read failed; a caller that probes after it tells the
// two apart by that number. A terminal the caller disabled stays disabled
// through every read until the caller enables it; otherwise a read disables
// it for its own time only.
class ZkDriver : public IZKEM {
public:
  struct Options {
    zk::ZkLink::Options link;
    // Where the terminal's clock is set from; the local time of this machine.
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
  };

  ZkDriver() = default;
  explicit ZkDriver(Options o) : opt_(std::move(o)) { link_.SetOptions(opt_.link); }
  ~ZkDriver() override;

  void SetCommKey(uint32_t key) { opt_.link.commKey = key; link_.SetOptions(opt_.link); }
  const std::string& LastError() const { return link_.LastError(); }

  bool ZkConnect(const std::string& dottedAddress, int port) override;
  void ZkDisconnect() override;
  bool ZkLinkUp() override;
  bool ZkEnableDevice(int machine, bool enable) override;
  bool ZkRestart(int machine) override;
  bool ZkRefreshData(int machine) override;
  bool ZkProbe(int machine, int& value) override;

  bool ZkReadAllLogs(int machine) override;
  bool ZkNextLogRecord(int machine, ZkLogRecord& rec) override;
  bool ZkNextLogRecordSSR(int machine, ZkLogRecord& rec) override;
  bool ZkClearLogs(int machine) override;
  bool ZkSetDeviceTime(int machine) override;

  bool ZkReadAllUserIds(int machine) override;
  bool ZkReadAllTemplates(int machine) override;
  bool ZkNextUserInfo(int machine, ZkUserInfo& info) override;
  bool ZkNextUserInfoSSR(int machine, ZkUserInfo& info) override;
  bool ZkGetUserInfo(int machine, int user, ZkUserInfo& info) override;
  bool ZkGetUserInfoSSR(int machine, const std::string& user, ZkUserInfo& info) override;
  std::string ZkGetCardNumber(int index) override;
  void ZkSetCardNumber(int index, const std::string& card) override;
  bool ZkSetUserInfo(int machine, int user, const std::string& name, const std::string& password,
                     int privilege, bool enabled) override;
  bool ZkSetUserInfoSSR(int machine, const std::string& user, const std::string& name,
                        const std::string& password, int privilege, bool enabled) override;
  bool ZkDeleteUser(int machine, int user, int backupNumber) override;
  bool ZkDeleteUserSSR(int machine, const std::string& user, int backupNumber) override;

  bool ZkGetTemplate(int machine, int user, int finger, std::vector<std::uint8_t>& data) override;
  bool ZkGetTemplateSSR(int machine, const std::string& user, int finger,
                        std::vector<std::uint8_t>& data) override;
  bool ZkGetTemplateEx(int machine, const std::string& user, int finger, int& flag,
                       std::vector<std::uint8_t>& data) override;
  bool ZkSetTemplate(int machine, int user, int finger, const std::vector<std::uint8_t>& data) override;
  bool ZkSetTemplateSSR(int machine, const std::string& user, int finger,
                        const std::vector<std::uint8_t>& data) override;
  bool ZkSetTemplateEx(int machine, const std::string& user, int finger, int flag,
                       const std::vector<std::uint8_t>& data) override;
  bool ZkSetVerifyStyle(int machine, int user, int style) override;

  bool ZkSetTimeZone(int machine, int zone, const std::string& week) override;
  bool ZkSetUserTimeZones(int machine, int user, const std::string& zones) override;

  // The record sizes this terminal uses, as its tables showed them (0 before
  // a table showed one). Kept across connections.
  size_t UserRecordSize() const { return userSize_; }
  size_t LogRecordSize() const { return logSize_; }

private:
  // How old a user table may be when a template, style or zone write looks
  // up its user's slot: the writes of one command follow each other closely.
  static constexpr std::chrono::milliseconds kSlotCheck{5000};

  bool ReadSizes(int& users, int& records);
  // Runs `work` with the terminal disabled (see the definition).
  bool Disabled(const std::function<bool()>& work);
  bool LoadUsers();
  bool EnsureUsers();
  bool FreshUsers(std::chrono::milliseconds maxAge);
  bool MapSlots();
  const zk::ZkUser* FindUser(const std::string& userId);
  void IndexUsers();
  bool NextLog(ZkLogRecord& rec, int machine);
  bool NextUser(ZkUserInfo& info);
  bool SetUser(const std::string& userId, const std::string& name, const std::string& password,
               int privilege, bool enabled);
  static bool Fits(const zk::ZkUser& u, size_t recordSize);
  bool WriteUserRecord(const zk::ZkUser& u);
  bool DeleteUser(const std::string& userId, int backupNumber);
  bool GetTemplate(const std::string& userId, int finger, int& flag, std::vector<uint8_t>& data);
  bool SetTemplate(const std::string& userId, int finger, int flag, const std::vector<uint8_t>& data);
  bool ReadTableDisabled(uint16_t command, uint32_t fct, std::vector<uint8_t>& table);

  Options opt_;
  zk::ZkLink link_;
  std::string host_;
  int port_ = 0;
  // The terminal was disabled by this driver and not enabled again yet; a
  // batch that broke off leaves it so, and the next connection enables it.
  bool leftDisabled_ = false;

  std::vector<zk::ZkAttendance> logs_;
  size_t logPos_ = 0;
  std::vector<zk::ZkUser> users_;
  std::unordered_map<std::string, size_t> userIndex_;  // user id -> position in users_
  bool usersLoaded_ = false;
  std::chrono::steady_clock::time_point usersReadAt_{};
  size_t userPos_ = 0;
  std::map<std::pair<uint16_t, int>, zk::ZkFinger> fingers_;
  bool fingersLoaded_ = false;
  size_t userSize_ = 0, logSize_ = 0;
  std::string lastCard_ = "0";
  std::string nextCard_;
};

}  // namespace px
