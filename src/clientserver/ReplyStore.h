#pragma once
#include <array>
#include <string>

namespace px {

// Command replies waiting for their client: 100 pairs of command ID and
// reply text. A free pair has an empty ID. Loop thread only.
class TReplyStore {
public:
  static constexpr int kPairs = 100;
  // Stores in the first free pair; when all are taken the reply is dropped
  // (the client keeps getting "??"). An empty ID is never stored.
  void PutReplyByID(const std::string& id, const std::string& reply);
  // True with the reply when the ID is held; the pair is freed.
  bool GetReplyByID(const std::string& id, std::string& reply);
  int Count() const;

private:
  struct Pair {
    std::string id, reply;
  };
  std::array<Pair, kPairs> pairs_;
};

}  // namespace px
