#pragma once
#include "service/ServiceModule.h"

namespace px {

// The real modules of the program, as the program entry creates them.
ServiceModules DefaultModules();

}  // namespace px
