#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace px {

// The "Communication Monitor" window as a model with no drawing: the
// status bar, the bus and IP rows of LEDs and the memo. The engine updates
// it on the loop thread; tests and the web monitor read it there too.
class CommMonitor {
public:
  // Colours as the window stores them (blue in the high byte).
  static constexpr uint32_t kGrey = 0x808080;
  static constexpr uint32_t kBlack = 0x000000;
  static constexpr uint32_t kGreen = 0x00FF00;
  static constexpr uint32_t kRed = 0x0000FF;
  static constexpr int kBusRows = 4;
  static constexpr int kIpRows = 12;
  static constexpr int kLeds = 16;
  static constexpr int kNarrowWidth = 520;
  static constexpr int kWideWidth = 986;
  static constexpr size_t kMemoLines = 1000;

  struct Led {
    int left = 0, top = 0, width = 16, height = 16;
    uint32_t colour = kGrey;
    std::string hint;
  };
  struct Row {
    int boxLeft = 0, boxTop = 0, boxWidth = 0;
    std::string boxText = "N/A";
    std::array<Led, kLeds> leds;  // index 0 is unit 1
  };
  struct Panel {
    int width = 0;
    std::string text;
  };

  CommMonitor();

  const std::string& Caption() const { return caption_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Centred() const { return true; }
  const std::array<Panel, 5>& Panels() const { return panels_; }
  // panel 1..5
  void SetPanelText(int panel, const std::string& text);
  const std::string& PanelText(int panel) const;
  const std::string& ScanButtonCaption() const { return scanCaption_; }
  const std::string& ClearButtonCaption() const { return clearCaption_; }

  // Bus rows 1..4 exist after LED_Init (done on the first LED_OnThisBus).
  void LED_Init();
  void LED_OnThisBus(int bus, int comNumber);
  bool BusLedsReady() const { return busReady_; }
  const Row& BusRow(int bus) const { return busRows_[static_cast<size_t>(Clamp(bus, kBusRows) - 1)]; }
  void SetBusBox(int bus, const std::string& text);
  // Buses 5..8 have no row; the call does nothing for them.
  void SetBusLed(int bus, int unit, uint32_t colour);
  uint32_t BusLed(int bus, int unit) const;

  // IP rows 1..12 on the IP panel, after IP_LED_Init (the first IP_LED_OnThisPort).
  void IP_LED_Init();
  void IP_LED_OnThisPort(int channel);
  bool IpLedsReady() const { return ipReady_; }
  const Row& IpRow(int channel) const { return ipRows_[static_cast<size_t>(Clamp(channel, kIpRows) - 1)]; }
  void SetIpBox(int channel, const std::string& text);
  void IP_UpdateLED(int channel, int unit, uint32_t colour);
  void SetIpLedHint(int channel, int unit, const std::string& hint);

  // Widens the window and shows the IP panel when IP channels exist.
  void FormShow(bool ipChannelsExist);
  bool IpPanelVisible() const { return ipPanelVisible_; }

  void AddMemoLine(const std::string& line);
  const std::vector<std::string>& Memo() const { return memo_; }
  // "Clear Display".
  void Button1Click() { memo_.clear(); }

private:
  static int Clamp(int v, int max) { return v < 1 ? 1 : (v > max ? max : v); }
  static bool InRange(int v, int max) { return v >= 1 && v <= max; }
  std::string caption_ = "Communication Monitor";
  int width_ = kNarrowWidth, height_ = 399;
  std::array<Panel, 5> panels_;
  std::string scanCaption_ = "On/Off Scanning", clearCaption_ = "Clear Display";
  bool busReady_ = false, ipReady_ = false, ipPanelVisible_ = false;
  std::array<Row, kBusRows> busRows_;
  std::array<Row, kIpRows> ipRows_;
  std::vector<std::string> memo_;
};

}  // namespace px
