#include "ctrlsim/TransGenerator.h"

#include <chrono>
#include <ctime>

namespace px::sim {

TransGenerator::TransGenerator(std::shared_ptr<UnitBank> bank, Options options)
    : bank_(std::move(bank)), options_(std::move(options)), rng_(options_.seed ? options_.seed : 1) {
  if (options_.cards.empty()) options_.cards.push_back("000001");
  if (options_.codes.empty()) options_.codes.push_back('0');
}

TransGenerator::~TransGenerator() { Stop(); }

void TransGenerator::Start() {
  std::lock_guard l(m_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
}

void TransGenerator::Stop() {
  {
    std::lock_guard l(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TransGenerator::Tick() {
  const std::time_t now = std::time(nullptr);
  std::lock_guard l(m_);
  for (int n : bank_->EnabledUnits()) {
    // xorshift32: small, seedable, and the same sequence on every machine.
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    const auto& card = options_.cards[rng_ % options_.cards.size()];
    const char code = options_.codes[(rng_ / 7) % options_.codes.size()];
    bank_->Unit(n).QueueTransaction(card, code, now);
    ++generated_;
  }
}

void TransGenerator::Loop() {
  const auto interval = std::chrono::milliseconds(options_.intervalMs > 0 ? options_.intervalMs : 1);
  auto next = std::chrono::steady_clock::now() + interval;
  for (;;) {
    {
      std::unique_lock l(m_);
      if (cv_.wait_until(l, next, [this] { return stop_; })) return;
    }
    Tick();
    next += interval;
  }
}

}  // namespace px::sim
