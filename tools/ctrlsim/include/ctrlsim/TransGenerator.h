#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctrlsim/UnitBank.h"

namespace px::sim {

// Presents cards at the enabled units of a bank on its own: every interval
// each enabled unit queues one transaction with a random card and code,
// stamped with the current time.
class TransGenerator {
public:
  struct Options {
    int intervalMs = 1000;
    std::vector<std::string> cards = {"000001", "000002", "000003"};
    std::string codes = "09";       // one character per possible code
    std::uint32_t seed = 1;
  };

  TransGenerator(std::shared_ptr<UnitBank> bank, Options options);
  ~TransGenerator();

  void Start();
  void Stop();
  // One round by hand: what the thread does every interval.
  void Tick();
  long Generated() const { return generated_; }

private:
  void Loop();

  std::shared_ptr<UnitBank> bank_;
  Options options_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
  std::uint32_t rng_;
  std::atomic<long> generated_{0};
};

}  // namespace px::sim
