#include "web/UnitStates.h"

#include "common/ControllerTable.h"
#include "common/IpKey.h"
#include "engine/IPChannel.h"
#include "engine/MainForm.h"
#include "engine/SingleSocket.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"

namespace px {

namespace {

// Failed polls in a row after which the engine reports a unit down.
constexpr int kSerialDownAfter = 5;
constexpr int kIpDownAfter = 3;

}  // namespace

std::string UnitStates::TagOf(int point, const std::string& dottedIp) const {
  if (!ctx_.registry) return "";
  const ControllerTable& t = ctx_.registry->CtrlTable();
  for (int i = 1; i <= t.Count(); ++i) {
    const TCtrlRec& r = t[i];
    if (r.LogicalPoint == point && (dottedIp.empty() ? r.IPAddress.empty() : KeyToIP(r.IPAddress) == dottedIp))
      return r.TagName;
  }
  return "";
}

std::vector<UnitState> UnitStates::Read() const {
  std::vector<UnitState> out;
  auto* engine = dynamic_cast<TMainForm*>(ctx_.engine);
  if (!engine) return out;
  for (int b = 1; b <= TMainForm::kMaxBuses; ++b) {
    TAccComm* bus = engine->Bus(b);
    for (int u = 1; bus && u <= TAccComm::kUnits; ++u) {
      const TUnitRecord& r = bus->Unit(u);
      if (r.Enabled)
        out.push_back({"serial", b, PointOf(b, u), TagOf(PointOf(b, u), ""), r.FailureCount <= kSerialDownAfter,
                       r.LastGoodPoll});
    }
  }
  for (int c = 1; c <= engine->IP().ChannelCount(); ++c) {
    TIPController& ctrl = engine->IP().Channel(c)->Ctrl();
    for (int s = 1; s <= ctrl.SlotCount(); ++s) {
      const TIPSlot& slot = ctrl.Slot(s);
      if (slot.rec.Enabled)
        out.push_back({"ip", c, slot.rec.UnitNumber, TagOf(slot.rec.UnitNumber, slot.ip),
                       slot.rec.FailureCount <= kIpDownAfter, slot.rec.LastGoodPoll});
    }
  }
  // The single socket polls every controller of the registry that has an
  // address and is not a fingerprint terminal.
  if (engine->IP().SingleSocket() && ctx_.registry) {
    const ControllerTable& t = ctx_.registry->CtrlTable();
    for (int i = 1; i <= t.Count(); ++i) {
      const TCtrlRec& r = t[i];
      if (!KeyToIP(r.IPAddress).empty() && !IsTerminalType(r.CtrlType))
        out.push_back({"single_socket", 1, r.LogicalPoint, r.TagName, r.DownCount <= kIpDownAfter, r.LastGoodPoll});
    }
  }
  return out;
}

}  // namespace px
