#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/DbDriver.h"
#include "zk/IZKEM.h"

namespace px {

// One configured terminal.
struct ZkTerminal {
  std::unique_ptr<IZKEM> control;
  std::string address;  // dotted
  int port = 4370;
  std::string type;     // "KXF7" or "KXF18"
  int logicalPoint = 0;
  std::string tag;
  // Shared between the worker and the one-second timer: under the table's lock.
  bool connected = false;
  int retryWait = 0;
  bool resetMark = false;
};

using ZkemFactory = std::function<std::unique_ptr<IZKEM>()>;

// The terminals of the installation, up to 256, numbered from 1 in the order
// the database returns them. The controls are used by the worker only; the
// link state (connected, retry wait, reset mark) is shared with the loop's
// one-second timer and taken under the table's lock.
class TZkTerminalTable {
public:
  static constexpr int kMaxTerminals = 256;
  static constexpr int kDefaultPort = 4370;

  // Address text as rdrmain's spare3 or a queued command carries it: twelve
  // digits (or, accepted too, a dotted address) with an optional ":port".
  // False when the text is neither form; `dotted` then keeps the text.
  static bool SplitAddress(const std::string& text, std::string& dotted, int& port);

  // Rows of "select * from rdrmain where controller_type=..." in order.
  void Build(const DbRows& rows, const ZkemFactory& factory, ILog& log);

  int Count() const { return static_cast<int>(rows_.size()); }
  ZkTerminal& operator[](int i) { return *rows_[static_cast<size_t>(i - 1)]; }  // 1-based
  // The first entry with this address and port; 0 when none.
  int Find(const std::string& dotted, int port) const;

  std::mutex& Lock() const { return m_; }
  // One-second timer: every retry wait above 0 goes down by one.
  void TickRetryWaits();
  // Restart the terminal with this tag at its next reconnect; false when no entry has it.
  bool MarkReset(const std::string& tag);

private:
  std::vector<std::unique_ptr<ZkTerminal>> rows_;
  mutable std::mutex m_;
};

}  // namespace px
