#include "clientserver/ReplyStore.h"

namespace px {

TReplyStore::TReplyStore(std::shared_ptr<Clock> clock, ILog* log)
    : clock_(clock ? std::move(clock) : SystemClock::Instance()), log_(log) {}

void TReplyStore::FreeExpired(std::chrono::system_clock::time_point now) {
  for (auto& p : pairs_) {
    if (p.id.empty()) continue;
    // A clock set back would keep a pair for as long as it went back.
    if (p.stored > now) p.stored = now;
    if (now - p.stored >= kKeepFor) {
      p.id.clear();
      p.reply.clear();
    }
  }
}

void TReplyStore::PutReplyByID(const std::string& id, const std::string& reply) {
  if (id.empty()) return;
  auto now = clock_->Now();
  FreeExpired(now);
  Pair* slot = nullptr;
  for (auto& p : pairs_) {
    if (p.id.empty()) {
      slot = &p;
      break;
    }
    if (!slot || p.stored < slot->stored) slot = &p;
  }
  if (!slot->id.empty() && log_)
    log_->WriteLog(999, "Reply store full: the reply to " + slot->id + " made room for " + id);
  slot->id = id;
  slot->reply = reply;
  slot->stored = now;
}

bool TReplyStore::GetReplyByID(const std::string& id, std::string& reply) {
  if (id.empty()) return false;
  FreeExpired(clock_->Now());
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
