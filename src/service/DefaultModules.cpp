#include "service/DefaultModules.h"

#include "monitor/TransOnlineForm.h"

namespace px {

ServiceModules DefaultModules() {
  ServiceModules m;
  m.makeMonitor = [](ServiceContext&) { return std::make_unique<TTransOnlineForm>(); };
  return m;
}

}  // namespace px
