#pragma once
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace px {

// The sessions the sign-in form opens: random values of this run (never
// the token), each valid until it expires or is signed out. At most
// `maxSessions` are kept; past that the one that expires first goes.
// Safe from any thread.
class SessionStore {
public:
  using Clock = std::chrono::steady_clock;
  SessionStore(std::chrono::seconds lifetime, size_t maxSessions = 256);

  std::string Open(Clock::time_point now);
  bool Valid(const std::string& id, Clock::time_point now) const;
  void Close(const std::string& id);
  std::chrono::seconds Lifetime() const { return lifetime_; }

  // Equal texts, compared in a time that does not depend on where they differ.
  static bool EqualConstantTime(const std::string& a, const std::string& b);

private:
  struct Session {
    std::string id;
    Clock::time_point expires;
  };
  std::chrono::seconds lifetime_;
  size_t max_;
  mutable std::mutex m_;
  std::vector<Session> sessions_;
};

}  // namespace px
