#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace px {

// One configured controller, terminal or device from rdrmain.
struct TCtrlRec {
  std::string TagName;
  int LogicalPoint = 0;
  std::string Spare;       // cleared at load (GetCtrlSpare)
  std::string IPAddress;   // 12-digit key form; empty for a serial controller
  std::string CtrlType;
  std::string Status = "000000";
  // Single-socket transport only.
  std::string StatusB = "0000";
  std::string StatusA = "00";
  bool OldModel = false;       // the model-known flag of the single socket
  bool StatusRequest = false;  // the next poll asks for status
  bool RepeatRequest = false;  // the next poll is QR
  int DownCount = 0;           // failure count
  std::chrono::system_clock::time_point LastGoodPoll{};  // single socket: its last answer
};

// A fingerprint terminal's controller type: polled by the terminal module,
// not by the controller engines.
inline bool IsTerminalType(const std::string& type) { return type == "KXF7" || type == "KXF18"; }

// The controller registry's table, rows 1..Count() (index 0 unused), at most 128.
class ControllerTable {
public:
  static constexpr int kMaxRows = 128;
  ControllerTable() : rows_(1) {}
  int Count() const { return static_cast<int>(rows_.size()) - 1; }
  bool Add(TCtrlRec r) {
    if (Count() >= kMaxRows) return false;
    rows_.push_back(std::move(r));
    return true;
  }
  TCtrlRec& operator[](int i) { return rows_[static_cast<size_t>(i)]; }
  const TCtrlRec& operator[](int i) const { return rows_[static_cast<size_t>(i)]; }
  void Clear() { rows_.resize(1); }

private:
  std::vector<TCtrlRec> rows_;
};

// Serial address of a logical point and back.
inline int BusOfPoint(int point) { return (point - 1) / 16 + 1; }
inline int UnitOfPoint(int point) { return (point - 1) % 16 + 1; }
inline int PointOf(int bus, int unit) { return (bus - 1) * 16 + unit; }

}  // namespace px
