#include "common/Counters.h"

namespace px {

ProcessCounters& Counters() {
  static ProcessCounters counters;
  return counters;
}

}  // namespace px
