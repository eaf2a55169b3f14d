#pragma once
#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"

namespace px {

// Command replies waiting for their client: 100 pairs of command ID and
// reply text. A free pair has an empty ID. Replies nobody fetches (the
// client gave up) must not fill the store for good, so a pair is freed after
// ten minutes and, when all are taken, the oldest makes room. Loop thread only.
class TReplyStore {
public:
  static constexpr int kPairs = 100;
  static constexpr std::chrono::minutes kKeepFor{10};

  // Without a clock the system clock is used.
  explicit TReplyStore(std::shared_ptr<Clock> clock = nullptr, ILog* log = nullptr);

  // Stores in the first free pair, or in the oldest when all are taken. An
  // empty ID is never stored.
  void PutReplyByID(const std::string& id, const std::string& reply);
  // True with the reply when the ID is held; the pair is freed.
  bool GetReplyByID(const std::string& id, std::string& reply);
  int Count() const;

private:
  struct Pair {
    std::string id, reply;
    std::chrono::system_clock::time_point stored;
  };
  void FreeExpired(std::chrono::system_clock::time_point now);
  std::shared_ptr<Clock> clock_;
  ILog* log_;
  std::array<Pair, kPairs> pairs_;
};

}  // namespace px
