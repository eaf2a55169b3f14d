#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace px {

// Running totals of the whole process for monitoring systems. Each is
// raised where its event happens, on whatever thread that is, and read by
// the metrics page; relaxed atomics are enough for totals that are only
// ever added to and read.
struct ProcessCounters {
  using Counter = std::atomic<std::uint64_t>;
  static constexpr int kBuses = 8;
  static constexpr int kChannels = 12;

  // Polls sent and polls that failed, per bus (index 1..8), per IP channel
  // (index 1..12) and over the single socket.
  std::array<Counter, kBuses + 1> busPolls{}, busFailedPolls{};
  std::array<Counter, kChannels + 1> ipPolls{}, ipFailedPolls{};
  Counter ssPolls{0}, ssFailedPolls{0};
  // Transaction rows that reached the trans table (at once or replayed from
  // the spool), and transactions that went to the spool.
  Counter transStored{0}, transSpooled{0};
  // When the newest transaction was handed to storage, in ms since the
  // epoch; 0 before the first.
  std::atomic<std::int64_t> lastTransactionMs{0};
  Counter clientConnections{0}, clientRequests{0};
  std::atomic<std::int64_t> clientOpen{0};
  // Reopened database connections after the first open.
  Counter mainDbReconnects{0}, arqDbReconnects{0};
  // Terminal poll steps of the periodic work.
  Counter terminalPolls{0};

  static void Add(Counter& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
  void NoteTransaction(std::chrono::system_clock::time_point at) {
    lastTransactionMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count(),
                            std::memory_order_relaxed);
  }
  // Index-checked add for the per-bus and per-channel arrays.
  template <size_t N>
  static void Add(std::array<Counter, N>& a, int i) {
    if (i >= 0 && static_cast<size_t>(i) < N) Add(a[static_cast<size_t>(i)]);
  }
};

ProcessCounters& Counters();

}  // namespace px
