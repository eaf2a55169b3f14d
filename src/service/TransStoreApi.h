#pragma once
#include <chrono>
#include <string>

namespace px {

// Transaction storage as the periodic jobs and the ZK module call it.
class ITransStore {
public:
  virtual ~ITransStore() = default;
  // One status query and ten engine lines per tick, more with a backlog.
  virtual void CheckThCommTrans() = 0;
  virtual void Save_Trans(const std::string& tag, const std::string& record) = 0;
  virtual void GetTranCodeFromTable() = 0;
  // At a stop, once the engine starts no new exchange: stores the engine's
  // lines until `until`; true while lines remain. SpoolAtStop then keeps
  // whatever is still left in the spool, stored at the next start.
  virtual bool DrainAtStop(std::chrono::steady_clock::time_point until) {
    (void)until;
    return false;
  }
  virtual void SpoolAtStop() {}
};

}  // namespace px
