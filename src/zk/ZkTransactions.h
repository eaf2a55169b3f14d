#pragma once
#include <string>

#include "zk/ZkModuleState.h"

namespace px {

// Collection of one terminal's attendance log into the service's
// transactions, in the fixed-width form controller transactions use.
class TZkTransactions {
public:
  explicit TZkTransactions(TZkModuleState& mod) : mod_(mod) {}

  // Reads, stores and clears the log of the terminal at `address` (12 digits
  // or dotted, optionally ":port"). `skipped` as IZKModule::GetTransactions.
  bool GetTransactions(int unit, const std::string& tag, const std::string& address, bool& skipped);

  // "ddmmhhmm" + six-digit user + mark; false when any field is out of range
  // or the user is 0 (or the text is longer than 15).
  static bool ValidTransaction(const std::string& text);
  // The direction mark of one record ("7", "9", "0" or "").
  std::string DirectionMark(int unit, int verifyMode, int inOutState) const;

  // Records handed to the loop at once: few hand-overs for a long log.
  static constexpr size_t kBatch = 200;

private:
  TZkModuleState& mod_;
};

}  // namespace px
