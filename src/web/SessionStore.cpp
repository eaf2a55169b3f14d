#include "web/SessionStore.h"

#include <algorithm>
#include <fstream>
#include <random>

namespace px {

namespace {

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  std::ifstream in("/dev/urandom", std::ios::binary);
  if (!in.read(raw.data(), static_cast<std::streamsize>(bytes))) {
    std::random_device rd;
    for (auto& c : raw) c = static_cast<char>(rd());
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

}  // namespace

SessionStore::SessionStore(std::chrono::seconds lifetime, size_t maxSessions)
    : lifetime_(lifetime), max_(std::max<size_t>(1, maxSessions)) {}

bool SessionStore::EqualConstantTime(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < b.size(); ++i)
    diff |= static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^ static_cast<unsigned char>(b[i]);
  return diff == 0;
}

std::string SessionStore::Open(Clock::time_point now) {
  std::string id = RandomHex(32);
  std::lock_guard<std::mutex> g(m_);
  std::erase_if(sessions_, [&](const Session& s) { return s.expires <= now; });
  if (sessions_.size() >= max_)
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                     [](const Session& a, const Session& b) { return a.expires < b.expires; }));
  sessions_.push_back({id, now + lifetime_});
  return id;
}

bool SessionStore::Valid(const std::string& id, Clock::time_point now) const {
  if (id.empty()) return false;
  std::lock_guard<std::mutex> g(m_);
  bool found = false;
  // Every session is compared, so the time taken does not tell which one
  // came close.
  for (const auto& s : sessions_) found |= EqualConstantTime(id, s.id) && s.expires > now;
  return found;
}

void SessionStore::Close(const std::string& id) {
  std::lock_guard<std::mutex> g(m_);
  std::erase_if(sessions_, [&](const Session& s) { return EqualConstantTime(id, s.id); });
}

}  // namespace px
