#pragma once
#include <string>

namespace px {

// Transaction storage as the periodic jobs and the ZK module call it.
class ITransStore {
public:
  virtual ~ITransStore() = default;
  // One status query and up to ten engine lines per tick.
  virtual void CheckThCommTrans() = 0;
  virtual void Save_Trans(const std::string& tag, const std::string& record) = 0;
  virtual void GetTranCodeFromTable() = 0;
};

}  // namespace px
