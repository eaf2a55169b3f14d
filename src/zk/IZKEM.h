#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace px {

// One attendance record as a terminal hands it over.
struct ZkLogRecord {
  int terminal = 0;       // F7/F8 form only
  int user = 0;           // F7/F8 form: user number
  std::string userText;   // SSR form: user as decimal text
  int enrolTerminal = 0;  // F7/F8 form only
  int verifyMode = 0;
  int inOutState = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int workCode = 0;       // SSR form only; 0 otherwise
};

// One user as a terminal hands it over.
struct ZkUserInfo {
  int user = 0;           // numeric form
  std::string userText;   // SSR form
  std::string name;
  std::string password;
  int privilege = 0;
  bool enabled = true;
};

// The operations the terminal module calls on one terminal. One instance per
// terminal; every operation that talks to the terminal is bounded in time and
// returns false (never throws) when the terminal does not answer. Operations
// other than ZkConnect, ZkDisconnect, ZkGetCardNumber and ZkSetCardNumber take
// the machine number of the terminal first, as the terminals' own interface does.
class IZKEM {
public:
  virtual ~IZKEM() = default;

  virtual bool ZkConnect(const std::string& dottedAddress, int port) = 0;
  virtual void ZkDisconnect() = 0;
  // The connection is still open: false before a connect and once a
  // time-out or a protocol error has closed it.
  virtual bool ZkLinkUp() = 0;
  virtual bool ZkEnableDevice(int machine, bool enable) = 0;
  virtual bool ZkRestart(int machine) = 0;
  virtual bool ZkRefreshData(int machine) = 0;
  // The terminal answers at all; `value` is what the probe read.
  virtual bool ZkProbe(int machine, int& value) = 0;

  // Attendance log: load, then walk; false from Next* means no more records.
  virtual bool ZkReadAllLogs(int machine) = 0;
  virtual bool ZkNextLogRecord(int machine, ZkLogRecord& rec) = 0;
  virtual bool ZkNextLogRecordSSR(int machine, ZkLogRecord& rec) = 0;
  virtual bool ZkClearLogs(int machine) = 0;
  // Sets the terminal's clock from the server's clock.
  virtual bool ZkSetDeviceTime(int machine) = 0;

  // Users: load, then walk.
  virtual bool ZkReadAllUserIds(int machine) = 0;
  virtual bool ZkReadAllTemplates(int machine) = 0;
  virtual bool ZkNextUserInfo(int machine, ZkUserInfo& info) = 0;
  virtual bool ZkNextUserInfoSSR(int machine, ZkUserInfo& info) = 0;
  virtual bool ZkGetUserInfo(int machine, int user, ZkUserInfo& info) = 0;
  virtual bool ZkGetUserInfoSSR(int machine, const std::string& user, ZkUserInfo& info) = 0;
  // Card number of the user read last; the one set is used by the next user write.
  virtual std::string ZkGetCardNumber(int index) = 0;
  virtual void ZkSetCardNumber(int index, const std::string& card) = 0;
  virtual bool ZkSetUserInfo(int machine, int user, const std::string& name, const std::string& password,
                             int privilege, bool enabled) = 0;
  virtual bool ZkSetUserInfoSSR(int machine, const std::string& user, const std::string& name,
                                const std::string& password, int privilege, bool enabled) = 0;
  virtual bool ZkDeleteUser(int machine, int user, int backupNumber) = 0;
  virtual bool ZkDeleteUserSSR(int machine, const std::string& user, int backupNumber) = 0;

  // Templates: at most 2048 bytes each.
  virtual bool ZkGetTemplate(int machine, int user, int finger, std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkGetTemplateSSR(int machine, const std::string& user, int finger,
                                std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkGetTemplateEx(int machine, const std::string& user, int finger, int& flag,
                               std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkSetTemplate(int machine, int user, int finger, const std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkSetTemplateSSR(int machine, const std::string& user, int finger,
                                const std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkSetTemplateEx(int machine, const std::string& user, int finger, int flag,
                               const std::vector<std::uint8_t>& data) = 0;
  virtual bool ZkSetVerifyStyle(int machine, int user, int style) = 0;

  // Time zones: a zone is a 56-digit week text (7 days of hhmmhhmm).
  virtual bool ZkSetTimeZone(int machine, int zone, const std::string& week) = 0;
  virtual bool ZkSetUserTimeZones(int machine, int user, const std::string& zones) = 0;
};

}  // namespace px
