#include "zk/ZkTerminalTable.h"

#include "common/IpKey.h"
#include "common/StrUtil.h"

namespace px {

namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Field(const DbRows& rows, size_t row, const char* name) {
  for (size_t c = 0; c < rows.columns.size(); ++c)
    if (SameText(rows.columns[c], name)) return c < rows.rows[row].size() ? rows.rows[row][c] : std::string();
  return {};
}

}  // namespace

bool TZkTerminalTable::SplitAddress(const std::string& text, std::string& dotted, int& port) {
  port = kDefaultPort;
  std::string address = Trim(text);
  size_t colon = address.find(':');
  if (colon != std::string::npos) {
    std::string p = Copy(address, static_cast<long long>(colon) + 2, 5);
    long long v = 0;
    if (!TryStrToInt(p, v) || v < 1 || v > 65535) {
      dotted = address;
      return false;
    }
    port = static_cast<int>(v);
    address = address.substr(0, colon);
  }
  std::string key = address;
  if (address.find('.') != std::string::npos) {
    // Already dotted: accepted when it is a plain IPv4 address.
    try {
      key = IPToKey(address);
    } catch (const std::exception&) {
      key.clear();
    }
    if (key.size() != 12) key.clear();
  }
  bool ok = key.size() >= 12 && AllDigits(key.substr(0, 12));
  for (int g = 0; ok && g < 4; ++g) ok = StrToInt(key.substr(static_cast<size_t>(g) * 3, 3)) <= 255;
  if (!ok) {
    dotted = address;
    return false;
  }
  address = key;
  dotted = KeyToIP(address);
  return true;
}

void TZkTerminalTable::Build(const DbRows& rows, const ZkemFactory& factory, ILog& log) {
  std::lock_guard lk(m_);
  rows_.clear();
  for (size_t r = 0; r < rows.rows.size(); ++r) {
    auto t = std::make_unique<ZkTerminal>();
    t->control = factory ? factory() : nullptr;
    t->type = Field(rows, r, "controller_type");
    t->logicalPoint = static_cast<int>(StrToIntDef(Field(rows, r, "logical_point"), 0));
    t->tag = Field(rows, r, "tag_name");
    std::string text = Trim(Field(rows, r, "spare3"));
    log.WriteLog(10, "F8.List: " + IntToStr(static_cast<long long>(rows_.size()) + 1) + "  Type=" + t->type +
                         "  IP=" + text);
    std::string dotted;
    int port = kDefaultPort;
    if (text.size() > 11 && SplitAddress(text, dotted, port)) {
      t->address = dotted;
      t->port = port;
    } else {
      // Kept, so that the numbering stays that of the database; no poll or
      // command can find it.
      log.WriteLog(999, "ZKF8: " + t->tag + " - IP not defined.");
      t->address = text;
    }
    rows_.push_back(std::move(t));
    if (rows_.size() >= static_cast<size_t>(kMaxTerminals)) {
      // Reported once the table is full, whether or not more rows follow.
      log.WriteLog(999, "ZKF8: Total F8 exceeded " + IntToStr(kMaxTerminals));
      break;
    }
  }
}

int TZkTerminalTable::Find(const std::string& dotted, int port) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i]->address == dotted && rows_[i]->port == port) return static_cast<int>(i) + 1;
  return 0;
}

void TZkTerminalTable::TickRetryWaits() {
  std::lock_guard lk(m_);
  for (auto& t : rows_)
    if (t->retryWait > 0) --t->retryWait;
}

bool TZkTerminalTable::MarkReset(const std::string& tag) {
  std::lock_guard lk(m_);
  for (auto& t : rows_)
    if (t->tag == tag) {
      t->resetMark = true;
      return true;
    }
  return false;
}

}  // namespace px
