#pragma once
#include <string>

#include "zk/ZkApi.h"
#include "zk/ZkModuleState.h"
#include "zk/ZkTemplates.h"

namespace px {

// Device commands queued by clients (clock, time zones, user install and
// delete) and the access time-zone transfer from the database.
class TZkCommands {
public:
  TZkCommands(TZkModuleState& mod, TZkTemplates& templates) : mod_(mod), templates_(templates) {}

  bool Send(const ZkCommand& cmd, int& value);
  bool SendTZTimer(const std::string& tag);
  bool SetTimer(int zone, const std::string& week);
  bool UpdateCardTZ(int user, const std::string& zone);
  void MarkInstError(const std::string& tag);

private:
  TZkModuleState& mod_;
  TZkTemplates& templates_;
};

}  // namespace px
