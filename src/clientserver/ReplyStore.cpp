#include "clientserver/ReplyStore.h"

namespace px {

void TReplyStore::PutReplyByID(const std::string& id, const std::string& reply) {
  if (id.empty()) return;
  for (auto& p : pairs_) {
    if (p.id.empty()) {
      p.id = id;
      p.reply = reply;
      return;
    }
  }
}

bool TReplyStore::GetReplyByID(const std::string& id, std::string& reply) {
  if (id.empty()) return false;
  for (auto& p : pairs_) {
    if (p.id == id) {
      reply = std::move(p.reply);
      p.id.clear();
      p.reply.clear();
      return true;
    }
  }
  return false;
}

int TReplyStore::Count() const {
  int n = 0;
  for (const auto& p : pairs_) n += p.id.empty() ? 0 : 1;
  return n;
}

}  // namespace px
