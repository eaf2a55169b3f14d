#pragma once
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ctrlsim/SimUnit.h"

namespace px::sim {

// The 16 unit addresses behind one bus or one TCP address. A frame for a
// unit that is not enabled goes unanswered, as on a bus where nobody has
// that address.
class UnitBank {
public:
  using TraceFn = std::function<void(const std::string&)>;

  UnitBank();

  SimUnit& Unit(int number);  // 1..16; anything else throws std::out_of_range
  const SimUnit& Unit(int number) const;
  void EnableUnits(const std::vector<int>& numbers);
  std::vector<int> EnabledUnits() const;
  template <class Fn> void ForEach(Fn fn) {
    for (auto& u : units_) fn(*u);
  }

  // Every frame exchanged is passed to the trace, prefixed with `name`.
  void SetTrace(TraceFn fn, const std::string& name);
  void Trace(const std::string& text) const;

  // Interprets one frame (address byte first, CR last) and tells what to
  // send back. Frames that cannot be parsed are counted and ignored.
  ReplyPlan Handle(const std::string& frame);
  int MalformedFrames() const;

private:
  std::array<std::unique_ptr<SimUnit>, kMaxUnit> units_;
  mutable std::mutex m_;
  TraceFn trace_;
  std::string name_;
  int malformed_ = 0;
};

}  // namespace px::sim
