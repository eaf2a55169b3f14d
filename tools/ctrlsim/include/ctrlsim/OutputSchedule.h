#pragma once
#include <map>
#include <string>

#include "ctrlsim/Frame.h"
#include "ctrlsim/SimUnit.h"

namespace px::sim {

// A piece of output that may not leave before `due`.
struct Chunk {
  SteadyClock::time_point due;
  std::string bytes;
  bool closeAfter = false;
};

// Output waiting to be sent, earliest first; chunks due at the same moment
// keep the order they were added in.
class OutputSchedule {
public:
  // Expands a reply plan that may start at `start` into its chunks: the
  // delay, the spaced NUL bytes, then the reply (in pieces if asked).
  void Add(const ReplyPlan& plan, SteadyClock::time_point start, bool allowPieces);
  bool Empty() const { return chunks_.empty(); }
  SteadyClock::time_point NextDue() const { return chunks_.begin()->first; }
  Chunk Pop();
  void Clear() { chunks_.clear(); }

private:
  void Push(Chunk c) { chunks_.emplace(c.due, std::move(c)); }
  std::multimap<SteadyClock::time_point, Chunk> chunks_;
};

}  // namespace px::sim
