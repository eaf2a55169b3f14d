#pragma once
#include <string>

namespace px {

struct ServiceContext;

// The figures of the service in the Prometheus text exposition format:
// running totals from the process counters and the current depths and
// unit states read from the engine and the service. Loop thread only.
class MetricsText {
public:
  explicit MetricsText(ServiceContext& ctx) : ctx_(ctx) {}
  std::string Render() const;

private:
  ServiceContext& ctx_;
};

}  // namespace px
