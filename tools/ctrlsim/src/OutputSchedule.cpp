#include "ctrlsim/OutputSchedule.h"

#include <algorithm>

namespace px::sim {

void OutputSchedule::Add(const ReplyPlan& plan, SteadyClock::time_point start, bool allowPieces) {
  if (!plan.answer) return;
  using std::chrono::milliseconds;
  auto t = start + milliseconds(plan.delayMs);
  for (int i = 0; i < plan.nulCount; ++i) {
    Push({t, std::string(1, '\0'), false});
    t += milliseconds(plan.nulGapMs);
  }
  const std::size_t len = plan.bytes.size();
  const std::size_t n = allowPieces ? std::clamp<std::size_t>(plan.pieces, 1, std::max<std::size_t>(len, 1)) : 1;
  std::size_t pos = 0;
  for (std::size_t k = 0; k < n; ++k) {
    // Spread the remainder over the first pieces so every piece has bytes.
    const std::size_t size = len / n + (k < len % n ? 1 : 0);
    Push({t + milliseconds(static_cast<long>(k) * plan.pieceGapMs), plan.bytes.substr(pos, size),
          plan.closeAfter && k + 1 == n});
    pos += size;
  }
}

Chunk OutputSchedule::Pop() {
  auto it = chunks_.begin();
  Chunk c = std::move(it->second);
  chunks_.erase(it);
  return c;
}

}  // namespace px::sim
