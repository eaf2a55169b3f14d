#include "engine/TransQueue.h"

#include "common/StrUtil.h"

namespace px {

TransQueue::TransQueue(size_t slots, std::string name, ILog& log, const std::atomic<bool>* held,
                       IIntakeJournal* journal, std::string source)
    : ring_(slots, name, &log),
      name_(std::move(name)),
      log_(log),
      held_(held),
      journal_(journal),
      source_(std::move(source)) {}

bool TransQueue::Put(const std::string& line) {
  if (ring_.Full()) return ring_.Put(Line{line, 0});  // logs the drop
  // An up/down line the journal cannot take is still queued: it is made by
  // the host, not handed over by a device.
  const Seq seq = journal_ ? journal_->Append(source_, {line}) : 0;
  return ring_.Put(Line{line, seq});
}

bool TransQueue::PutRecords(const std::vector<std::string>& lines, const std::string& unitKey) {
  // A block without records leaves the owed mark as it is: a repeat of
  // nothing costs nothing, and keeping it saves a sync per poll of an idle
  // unit.
  if (lines.empty()) return true;
  if (!HasRoom(lines.size())) return false;
  Seq last = 0;
  if (journal_) {
    last = journal_->Append(source_, lines, unitKey, true);
    if (last == 0) {
      log_.WriteLog(999, name_ + ": the intake journal takes no records: they are asked for again");
      return false;
    }
  }
  Seq seq = last ? last - lines.size() + 1 : 0;
  for (const auto& l : lines) ring_.Put(Line{l, last ? seq++ : 0});
  return true;
}

bool TransQueue::Get(std::string& line, Seq& seq) {
  Line l;
  if (!ring_.Get(l)) return false;
  line = std::move(l.text);
  seq = l.seq;
  return true;
}

bool TransQueue::MayAsk() {
  const size_t n = ring_.Count();
  if (!full_ && n >= HighWater()) {
    full_ = true;
    log_.WriteLog(999, name_ + " holds " + IntToStr(static_cast<long long>(n)) +
                           " lines: records are not asked for until it drains");
  } else if (full_ && n <= LowWater()) {
    full_ = false;
    log_.WriteLog(999, name_ + " drained to " + IntToStr(static_cast<long long>(n)) +
                           " lines: records are asked for again");
  }
  return !full_ && !(held_ && held_->load()) && !(journal_ && !journal_->Accepting());
}

void TransQueue::Refused(const std::string& who, size_t records) {
  log_.WriteLog(999, name_ + " has no room for the " + IntToStr(static_cast<long long>(records)) + " records of " +
                         who + ": they are asked for again");
}

bool TransQueue::MarkOwed(const std::string& unitKey, Seq& wait) {
  wait = journal_ ? journal_->SetOwed(source_, unitKey, true) : 0;
  return wait != 0 || !journal_ || journal_->Owed(unitKey);
}

void TransQueue::ClearOwed(const std::string& unitKey) {
  if (journal_ && !unitKey.empty()) journal_->SetOwed(source_, unitKey, false);
}

}  // namespace px
