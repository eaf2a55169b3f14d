#pragma once
#include <vector>

#include "web/ApiBackend.h"

namespace px {

struct ServiceContext;

// Every row of the controller registry (door controllers, terminals and
// template devices) with what the engine or the terminal module knows of
// it now. Loop thread only.
class ApiUnits {
 public:
  explicit ApiUnits(ServiceContext& ctx) : ctx_(ctx) {}
  // False until the registry exists.
  bool Read(std::vector<ApiUnit>& out) const;

 private:
  ServiceContext& ctx_;
};

}  // namespace px
