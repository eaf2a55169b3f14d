#include "ctrlsim/UnitBank.h"

#include <stdexcept>

namespace px::sim {

UnitBank::UnitBank() {
  for (int i = 0; i < kMaxUnit; ++i) units_[i] = std::make_unique<SimUnit>(i + 1);
}

SimUnit& UnitBank::Unit(int number) {
  if (number < 1 || number > kMaxUnit) throw std::out_of_range("unit number out of range");
  return *units_[number - 1];
}

const SimUnit& UnitBank::Unit(int number) const {
  if (number < 1 || number > kMaxUnit) throw std::out_of_range("unit number out of range");
  return *units_[number - 1];
}

void UnitBank::EnableUnits(const std::vector<int>& numbers) {
  for (int n : numbers) Unit(n).SetEnabled(true);
}

std::vector<int> UnitBank::EnabledUnits() const {
  std::vector<int> out;
  for (const auto& u : units_)
    if (u->Enabled()) out.push_back(u->Number());
  return out;
}

void UnitBank::SetTrace(TraceFn fn, const std::string& name) {
  std::lock_guard l(m_);
  trace_ = std::move(fn);
  name_ = name;
}

void UnitBank::Trace(const std::string& text) const {
  TraceFn fn;
  std::string name;
  {
    std::lock_guard l(m_);
    fn = trace_;
    name = name_;
  }
  if (fn) fn(name.empty() ? text : name + " " + text);
}

ReplyPlan UnitBank::Handle(const std::string& frame) {
  auto req = ParseRequest(frame);
  if (!req) {
    std::lock_guard l(m_);
    ++malformed_;
    return {};
  }
  Trace("rx " + Printable(frame));
  ReplyPlan plan = Unit(req->unit).Answer(*req);
  if (plan.answer) Trace("tx " + Printable(plan.bytes) + (plan.closeAfter ? " (then close)" : ""));
  return plan;
}

int UnitBank::MalformedFrames() const {
  std::lock_guard l(m_);
  return malformed_;
}

}  // namespace px::sim
