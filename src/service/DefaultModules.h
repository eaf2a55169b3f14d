#pragma once
#include "service/ServiceModule.h"
#include "zk/ZkSettings.h"
#include "zk/ZkTerminalTable.h"

namespace px {

// The real modules of the program, as the program entry creates them.
ServiceModules DefaultModules();

// The terminal module over the service, with the given terminal controls
// (tests hand in simulated ones).
ZkSettings ZkSettingsOf(const ServiceSettings& s);
std::unique_ptr<IZKModule> MakeZkModule(ServiceContext& ctx, ZkemFactory controls);
// The event stream of the configuration's "Mqtt" section, or only the
// retention of the stored events when it names no broker.
std::unique_ptr<IEventStream> MakeEventStream(ServiceContext& ctx);

}  // namespace px
