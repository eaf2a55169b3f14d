#pragma once
#include <cstddef>
#include <string>

namespace px {

struct ServiceContext;

// What the web page draws, read from the window models. Loop thread only.
class MonitorView {
public:
  // Newest lines of a memo sent with each state; older ones stay in the model.
  static constexpr size_t kMemoLines = 300;

  explicit MonitorView(ServiceContext& ctx) : ctx_(ctx) {}

  // The "Communication Monitor", the "Transactions" grid and, when the
  // template server module exists, the "Download Template" memo, as JSON.
  std::string StateJson() const;
  // "On/Off Scanning" and "Clear Display"; false while there is no engine.
  bool PressScan();
  bool PressClear();

private:
  std::string CommMonitorJson() const;
  std::string GridJson() const;
  std::string TemplatesJson() const;
  ServiceContext& ctx_;
};

}  // namespace px
