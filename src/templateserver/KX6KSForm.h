#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Log.h"
#include "platform/Database.h"
#include "platform/EventLoop.h"
#include "templateserver/KX6KSLink.h"
#include "templateserver/KX6KSList.h"
#include "templateserver/TemplateMemo.h"
#include "templateserver/TemplateServerApi.h"

namespace px {

// What the template server module uses of the service around it. Every
// function may be empty (that part of the service is not there).
struct KX6KSHost {
  EventLoop* loop = nullptr;
  ILog* log = nullptr;
  std::shared_ptr<Clock> clock;
  std::string appDir;  // program folder, with its trailing "/"
  bool enabled = false;
  std::string master;  // the master device's controller ID
  int port = 4001;
  TKX6KSLink::Timing timing;
  TDatabase* db = nullptr;
  TKX6KSList::RunSql runSql;
  std::function<void(const std::string& action, const std::string& detail)> audit;
  std::function<int(const std::string& entry)> putDone;
  // Pauses ("0") or resumes ("1") the engine's polling of a dotted address.
  std::function<void(const std::string& ip, const std::string& onOff)> onOffPolling;
  std::function<bool()> stopping;
};

// The template server module ("Download Template"): adds and removes one
// user's templates on a device when cards are installed on or deleted from
// fingerprint controllers, and downloads one or all users' templates from
// the master device into template files and ZKList for client jobs. The
// memo and message are what its window shows.
//
// Loop thread only. One operation at a time: a call that arrives while
// another waits for its device (from a handler run during that wait) is
// refused at once rather than nested, and touches nothing of the one under
// way, its connection included. The master device holds every enrolled
// user's templates: no card command ever writes to it.
class TKX6KSForm : public ITemplateServer, public ITemplateMemo {
public:
  explicit TKX6KSForm(KX6KSHost host);
  ~TKX6KSForm() override;

  void Init6KS();
  // What showing the window does: the message about a missing master.
  void FormShow();
  bool IsMaster6KS(const std::string& controller) const;
  // The device at this 12-digit address and unit (a controller's unit is
  // taken modulo 16, as a logical point) is the master.
  bool IsMasterDevice(const std::string& address12, int unit) const;

  bool UploadOneTemplate(const std::string& user, const std::string& address12, int unit);
  bool RemoveOneTemplate(const std::string& user, const std::string& address12, int unit);
  // Closes the connection, unless a transfer is under way.
  void CloseSocket();
  TemplateHandOff HandOffCardCommand(bool add, const std::string& user, const std::string& address12,
                                     int unit) override;
  bool DownloadOneTemplate(const std::string& user, const std::string& address12, int unit);
  bool DownloadAllTemplates(const std::string& address12, int unit);
  bool AddDelTemplate(const std::string& mode, const std::string& controller, const std::string& user) override;
  bool ServerDownloadATemplate(const std::string& mode, const std::string& controller, const std::string& clientKey,
                               const std::string& user, const std::string& unitText,
                               const std::string& address12) override;
  void RedirMessage(const std::string& text);

  bool MasterDefined() const { return masterDefined_; }
  const std::vector<std::string>& DeviceList() const { return devices_; }
  const std::deque<std::string>& Memo() const { return memo_; }
  std::vector<std::string> MemoLines() const override { return {memo_.begin(), memo_.end()}; }
  const std::string& Message() const { return message_; }
  bool Busy() const { return busy_; }
  TKX6KSLink& Link() { return link_; }
  TKX6KSList& List() { return list_; }

private:
  bool Refused(const char* what);
  bool RefusedForMaster(const char* mode, const std::string& user);
  // One command naming one user: the device's result code, 0 when nothing
  // came back or nothing was sent (a user ID that is no number).
  int UserCommand(const char* command, const char* tag, const std::string& user, const std::string& address12,
                  int unit, std::string& id12);
  int RemoveOn(const std::string& user, const std::string& address12, int unit);
  int UploadOn(const std::string& user, const std::string& address12, int unit);
  void AddMemo(const std::string& line);
  void Log(int level, const std::string& text) { host_.log->WriteLog(level, text); }
  void Polling(const std::string& address12, const char* onOff);
  int Send(const std::string& address12, const std::string& command, std::string& reply, int unit,
           const std::string& data);
  bool WriteTemplateFile(const std::string& id12, const std::string& text);
  void BackupDatFile();
  void CloseAndPause();

  KX6KSHost host_;
  TKX6KSLink link_;
  TKX6KSList list_;
  TQuery q_;
  bool masterDefined_ = false;
  bool busy_ = false;
  std::vector<std::string> combo_;    // the master's controller ID
  std::vector<std::string> devices_;  // "%4d%s": unit, 12-digit address
  std::deque<std::string> memo_;
  std::string message_;
  std::string progressKey_;
};

}  // namespace px
