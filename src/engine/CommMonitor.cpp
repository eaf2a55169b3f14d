#include "engine/CommMonitor.h"

#include "common/Format.h"

namespace px {

CommMonitor::CommMonitor() {
  static constexpr int kWidths[5] = {150, 200, 50, 300, 50};
  for (size_t i = 0; i < panels_.size(); ++i) panels_[i].width = kWidths[i];
}

void CommMonitor::SetPanelText(int panel, const std::string& text) {
  if (InRange(panel, 5)) panels_[static_cast<size_t>(panel - 1)].text = text;
}

const std::string& CommMonitor::PanelText(int panel) const { return panels_[static_cast<size_t>(Clamp(panel, 5) - 1)].text; }

namespace {
// A row: its box at (boxLeft, top), then 16 grey LEDs 24 pixels apart.
void InitRow(CommMonitor::Row& row, int boxLeft, int top, int boxWidth, int firstLed) {
  row.boxLeft = boxLeft;
  row.boxTop = top;
  row.boxWidth = boxWidth;
  row.boxText = "N/A";
  for (int u = 0; u < CommMonitor::kLeds; ++u) {
    CommMonitor::Led& l = row.leds[static_cast<size_t>(u)];
    l.left = firstLed + 24 * u;
    l.top = top;
    l.colour = CommMonitor::kGrey;
  }
}
}  // namespace

void CommMonitor::LED_Init() {
  for (int r = 0; r < kBusRows; ++r) InitRow(busRows_[static_cast<size_t>(r)], 16, 16 + 24 * r, 50, 72);
  busReady_ = true;
}

void CommMonitor::LED_OnThisBus(int bus, int comNumber) {
  if (!busReady_) LED_Init();
  SetBusBox(bus, Format("COM%d", comNumber));
}

void CommMonitor::SetBusBox(int bus, const std::string& text) {
  if (busReady_ && InRange(bus, kBusRows)) busRows_[static_cast<size_t>(bus - 1)].boxText = text;
}

void CommMonitor::SetBusLed(int bus, int unit, uint32_t colour) {
  if (busReady_ && InRange(bus, kBusRows) && InRange(unit, kLeds))
    busRows_[static_cast<size_t>(bus - 1)].leds[static_cast<size_t>(unit - 1)].colour = colour;
}

uint32_t CommMonitor::BusLed(int bus, int unit) const {
  if (!InRange(bus, kBusRows) || !InRange(unit, kLeds)) return kGrey;
  return busRows_[static_cast<size_t>(bus - 1)].leds[static_cast<size_t>(unit - 1)].colour;
}

void CommMonitor::IP_LED_Init() {
  for (int r = 0; r < kIpRows; ++r) InitRow(ipRows_[static_cast<size_t>(r)], 8, 8 + 24 * r, 92, 114);
  ipReady_ = true;
}

void CommMonitor::IP_LED_OnThisPort(int channel) {
  (void)channel;
  if (!ipReady_) IP_LED_Init();
}

void CommMonitor::SetIpBox(int channel, const std::string& text) {
  if (ipReady_ && InRange(channel, kIpRows)) ipRows_[static_cast<size_t>(channel - 1)].boxText = text;
}

void CommMonitor::IP_UpdateLED(int channel, int unit, uint32_t colour) {
  if (ipReady_ && InRange(channel, kIpRows) && InRange(unit, kLeds))
    ipRows_[static_cast<size_t>(channel - 1)].leds[static_cast<size_t>(unit - 1)].colour = colour;
}

void CommMonitor::SetIpLedHint(int channel, int unit, const std::string& hint) {
  if (ipReady_ && InRange(channel, kIpRows) && InRange(unit, kLeds))
    ipRows_[static_cast<size_t>(channel - 1)].leds[static_cast<size_t>(unit - 1)].hint = hint;
}

void CommMonitor::FormShow(bool ipChannelsExist) {
  if (!ipChannelsExist) return;
  width_ = kWideWidth;
  ipPanelVisible_ = true;
}

void CommMonitor::AddMemoLine(const std::string& line) {
  // The window scrolls its oldest lines away; so does the model.
  if (memo_.size() >= kMemoLines) memo_.erase(memo_.begin());
  memo_.push_back(line);
}

}  // namespace px
