#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/ControllerTable.h"
#include "common/Log.h"
#include "engine/EngineApi.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"

namespace px {

// One ZK fingerprint terminal of the registry.
struct ZKCtrlRec {
  int LogicalPoint = 0;
  std::string TagName;
  std::string IPAddress;
  // The whole of spare3: the twelve digits and, when the terminal listens
  // elsewhere than on 4370, ":port". Polls, commands and template jobs
  // carry this form so that the terminal is found by address and port.
  std::string Address;
  std::string CtrlType;
  int DownCount = 0;
  bool IsDown = false;
  bool Active = false;
  bool NoPoll = false;
  std::chrono::system_clock::time_point LastGoodPoll{};  // its last successful poll
};

// The tables that hold the I/O points, by the kind a client names.
inline constexpr const char* kOutputPointTable = "outputs";
inline constexpr const char* kInputPointTable = "inputs";

// The controller registry: the controllers loaded from rdrmain at start-up,
// from which the serial buses, IP controllers and ZK terminals are started,
// and the lookups the other modules make on it. Loop thread only.
class ControllerRegistry {
public:
  ControllerRegistry(const ServiceSettings& settings, ServiceDb& db, ILog& log);

  void SetEngine(IEngine* engine) { engine_ = engine; }
  // Called by StartUpComm: the transaction code table, and the creation of
  // the ZK terminal module or the template server module.
  std::function<void()> LoadTranCodes;
  std::function<void()> CreateZKModule;
  std::function<void()> CreateTemplateServerModule;
  // After a unit's state is written (the event stream publishes it).
  std::function<void(const std::string& tag, const std::string& state)> OnDeviceState;

  bool StartUpComm();
  void SetActiveCtrl();
  void SetDeviceState(const std::string& tag, const std::string& state);
  std::string GetIOTagInfo(const std::string& table, const std::string& tag);
  bool GetNextCtrl(int& point, std::string& tag, std::string& ip);
  // `ip` is the terminal's full address (ZKCtrlRec::Address).
  bool GetNextKXF7(int& point, std::string& tag, std::string& ip);
  // The full address of the first terminal with this tag; "" when none.
  std::string ZkAddress(const std::string& tag) const;
  // A successful poll of the terminal at `when`; true when it was down.
  bool ClearDeviceDownCount(const std::string& tag, std::chrono::system_clock::time_point when = {});
  bool IncDeviceDownCount(const std::string& tag);
  void ZK_EnableCtrl(const std::string& ip, int unit, bool active);
  void SetNoPoll(const std::string& tag, bool flag);
  bool IsNoPoll(const std::string& tag);
  std::string LookupTag(const std::string& ip, int point) const;
  bool SetCtrlStatus(const std::string& tag, const std::string& status);
  bool GetCtrlStatus(const std::string& tag, std::string& status);
  void GetCtrlAddress(const std::string& tag, std::string& type, std::string& address) const;
  std::string GetCtrlSpare(const std::string& tag) const;

  ControllerTable& CtrlTable() { return ctrl_; }
  const ControllerTable& CtrlTable() const { return ctrl_; }
  int CtrlPollIndex() const { return ctrlPollIndex_; }
  std::vector<ZKCtrlRec>& ZKList() { return zk_; }
  int ZKPollIndex() const { return zkPollIndex_; }
  void ResetZKList() {
    zk_.clear();
    zkPollIndex_ = 0;
  }
  bool BusOpened(int bus) const { return bus >= 1 && bus <= 8 && busOpened_[bus]; }

private:
  const TCtrlRec* FindCtrl(const std::string& tag) const;
  TCtrlRec* FindCtrl(const std::string& tag);
  const ServiceSettings& settings_;
  ServiceDb& db_;
  ILog& log_;
  IEngine* engine_ = nullptr;
  ControllerTable ctrl_;
  int ctrlPollIndex_ = 0;
  std::vector<ZKCtrlRec> zk_;
  int zkPollIndex_ = 0;
  bool busOpened_[9] = {};
};

}  // namespace px
