#include "web/ApiUnits.h"

#include "common/ControllerTable.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "engine/EngineApi.h"
#include "engine/MainForm.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "web/UnitStates.h"

namespace px {

bool ApiUnits::Read(std::vector<ApiUnit>& out) const {
  if (!ctx_.registry) return false;
  const std::vector<UnitState> polled = UnitStates(ctx_).Read();
  auto* engine = dynamic_cast<TMainForm*>(ctx_.engine);
  const bool singleSocket = engine && engine->IP().SingleSocket();
  const ControllerTable& table = ctx_.registry->CtrlTable();
  for (int i = 1; i <= table.Count(); ++i) {
    const TCtrlRec& r = table[i];
    ApiUnit u;
    u.tag = r.TagName;
    u.type = r.CtrlType;
    u.unit = r.LogicalPoint >= 1 ? UnitOfPoint(r.LogicalPoint) : 0;
    u.address = KeyToIP(r.IPAddress);
    if (IsTerminalType(r.CtrlType)) {
      u.transport = "terminal";
      // Terminals are polled by the terminal module from its own list,
      // present only while terminals are enabled.
      for (const ZKCtrlRec& z : ctx_.registry->ZKList()) {
        if (z.TagName != r.TagName) continue;
        u.active = z.Active && !z.NoPoll;
        u.up = !z.IsDown;
        u.lastPoll = z.LastGoodPoll;
        break;
      }
      out.push_back(std::move(u));
      continue;
    }
    if (r.IPAddress.empty()) {
      u.transport = "serial";
      u.bus = r.LogicalPoint >= 1 ? BusOfPoint(r.LogicalPoint) : 0;
    } else {
      u.transport = singleSocket ? "single_socket" : "ip";
    }
    // A unit the engine does not poll (not enabled, its bus not open) has
    // no state of its own: it is reported inactive and down.
    for (const UnitState& s : polled) {
      if (s.tag != r.TagName) continue;
      u.active = true;
      u.up = s.up;
      u.lastPoll = s.lastPoll;
      break;
    }
    // The status word a workstation's poll shows, once the unit has answered.
    std::string status =
        "S" + Format("%2.2d%2.2d", u.bus ? u.bus : BusOfPoint(std::max(1, r.LogicalPoint)), u.unit) + u.address;
    if (engine && u.active && u.lastPoll != std::chrono::system_clock::time_point{} &&
        engine->GetDoorStatus(status) == 0)
      u.doorStatus = status;
    out.push_back(std::move(u));
  }
  return true;
}

}  // namespace px
