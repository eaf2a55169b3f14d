#include <algorithm>
#include <ctime>

#include "Session.h"
#include "zksim/ZkSim.h"

namespace zksim {

namespace {

User* BySlot(std::vector<User>& users, uint16_t slot) {
  for (User& u : users)
    if (u.slot == slot) return &u;
  return nullptr;
}

}  // namespace

bool Session::Handle(const Packet& p, Packets& out) {
  reply_ = p.reply;
  Config cfg;
  {
    std::lock_guard<std::mutex> lk(sim_.mu_);
    // A bounded history: enough for tests, no growth in a long CLI run.
    if (sim_.stats_.commands.size() < 100000) sim_.stats_.commands.push_back(p.command);
    cfg = sim_.cfg_;
    faults_ = sim_.faults_;
  }
  const std::vector<uint8_t>& d = p.body;
  switch (p.command) {
    case op::Connect: {
      {
        std::lock_guard<std::mutex> lk(sim_.mu_);
        session_ = sim_.nextSession_++;
        if (sim_.nextSession_ == 0) sim_.nextSession_ = 1;
      }
      authed_ = cfg.commKey == 0;
      Reply(out, authed_ ? op::AckOk : op::AckUnauth);
      return true;
    }
    case op::Auth:
      // The third byte is the client's tick value; the rest follows from it.
      authed_ = d.size() >= 4 && AuthWord(cfg.commKey, session_, d[2]) == std::vector<uint8_t>(d.begin(), d.begin() + 4);
      Reply(out, authed_ ? op::AckOk : op::AckUnauth);
      return true;
    case op::Exit:
      Reply(out, op::AckOk);
      return false;
    default:
      break;
  }
  if (!authed_) {
    Reply(out, op::AckUnauth);
    return true;
  }
  switch (p.command) {
    case op::GetTime: {
      std::vector<uint8_t> v;
      Add32(v, sim_.ClockValue());
      Reply(out, op::AckOk, v);
      return true;
    }
    case op::DataWriteRead: {
      if (d.size() < 7) break;
      const uint16_t what = Le16(d.data() + 1);
      if (what == op::AttLogRead && faults_.logError) break;
      bool known = false;
      std::vector<uint8_t> table = Table(what, Le32(d.data() + 3), known);
      if (!known) break;
      if (table.size() <= cfg.directLimit) {
        Reply(out, op::Data, table);
        return true;
      }
      pending_ = std::move(table);
      std::vector<uint8_t> stat{0};
      Add32(stat, static_cast<uint32_t>(pending_.size()));
      Add32(stat, static_cast<uint32_t>(pending_.size()));
      Add32(stat, 0);
      Reply(out, op::AckOk, stat);
      return true;
    }
    case op::DataReady: {
      if (d.size() < 8) break;
      uint32_t start = Le32(d.data()), size = Le32(d.data() + 4);
      if (start > pending_.size() || size > pending_.size() - start || size == 0) break;
      bool drop = faults_.dropMidTransfer;
      SendChunk(start, size, out, drop);
      return true;
    }
    default: {
      std::lock_guard<std::mutex> lk(sim_.mu_);
      return HandleData(p, out);
    }
  }
  Reply(out, op::AckError);
  return true;
}

bool Session::HandleData(const Packet& p, Packets& out) {
  const std::vector<uint8_t>& d = p.body;
  const Faults& faults = sim_.faults_;
  auto& users = sim_.users_;
  auto& fingers = sim_.fingers_;
  bool ok = true;
  switch (p.command) {
    case op::Enable:
      if (!sim_.stats_.enabled) {
        // The keypad works again and the first person in line clocks.
        for (const auto& [user, state] : sim_.onEnable_)
          sim_.records_.push_back(sim_.MakeRecord(user, LocalClock(sim_.clockOffset_), 1, state, 0));
        sim_.onEnable_.clear();
      }
      sim_.stats_.enabled = true;
      break;
    case op::Disable:
      sim_.stats_.enabled = false;
      break;
    case op::Restart:
      ++sim_.stats_.restarts;
      sim_.stats_.enabled = true;
      Reply(out, op::AckOk);
      return false;
    case op::Refresh:
      ++sim_.stats_.refreshes;
      break;
    case op::FreeSizes: {
      std::vector<uint8_t> sizes;
      uint32_t fields[23] = {};
      fields[4] = static_cast<uint32_t>(users.size());
      fields[6] = static_cast<uint32_t>(fingers.size());
      fields[8] = static_cast<uint32_t>(sim_.records_.size() + (faults.corruptRecord && !sim_.records_.empty()));
      fields[14] = 3000;
      fields[15] = 10000;
      fields[16] = 100000;
      for (uint32_t f : fields) Add32(sizes, f);
      Reply(out, op::AckOk, sizes);
      return true;
    }
    case op::SetTime: {
      if (d.size() < 4) {
        ok = false;
        break;
      }
      Time t = UnpackTime(Le32(d.data()));
      std::tm tm{};
      tm.tm_year = t.year - 1900;
      tm.tm_mon = t.month - 1;
      tm.tm_mday = t.day;
      tm.tm_hour = t.hour;
      tm.tm_min = t.minute;
      tm.tm_sec = t.second;
      tm.tm_isdst = -1;
      sim_.clockOffset_ = static_cast<int64_t>(std::mktime(&tm)) - static_cast<int64_t>(std::time(nullptr));
      break;
    }
    case op::ClearAttLog:
      if (faults.dropOnClear) return false;
      sim_.records_.clear();
      ++sim_.stats_.clears;
      if (faults.loseClearAnswer) return false;
      break;
    case op::FreeData:
      pending_.clear();
      inbound_.clear();
      break;
    case op::PrepareData:
      inbound_.clear();
      break;
    case op::Data:
      ok = inbound_.size() + d.size() <= (16u << 20);
      if (ok) inbound_.insert(inbound_.end(), d.begin(), d.end());
      break;
    case op::TemplateWrite: {
      // The template's length is declared and must be what was sent.
      ok = d.size() >= 6 && BySlot(users, Le16(d.data())) && d[2] <= 9 && Le16(d.data() + 4) > 0 &&
           Le16(d.data() + 4) == inbound_.size();
      if (!ok) break;
      uint16_t slot = Le16(d.data());
      int finger = d[2];
      fingers.erase(std::remove_if(fingers.begin(), fingers.end(),
                                   [&](const Finger& f) { return f.slot == slot && f.finger == finger; }),
                    fingers.end());
      fingers.push_back(Finger{slot, finger, d[3], inbound_});
      break;
    }
    case op::UserWrite: {
      // A record in the other layout is refused, as a terminal does.
      User parsed;
      ok = d.size() == sim_.cfg_.userRecordSize && UserFromBytes(d.data(), d.size(), parsed);
      if (!ok) break;
      if (User* u = BySlot(users, parsed.slot)) {
        u->userId = parsed.userId;
        u->name = parsed.name;
        u->password = parsed.password;
        u->privilege = parsed.privilege;
        u->enabled = parsed.enabled;
        u->card = parsed.card;
      } else {
        users.push_back(parsed);
      }
      break;
    }
    case op::DeleteUser: {
      ok = d.size() >= 2 && BySlot(users, Le16(d.data()));
      if (!ok) break;
      uint16_t slot = Le16(d.data());
      users.erase(std::remove_if(users.begin(), users.end(), [&](const User& u) { return u.slot == slot; }),
                  users.end());
      fingers.erase(std::remove_if(fingers.begin(), fingers.end(), [&](const Finger& f) { return f.slot == slot; }),
                    fingers.end());
      break;
    }
    case op::DeleteUserTemp: {
      ok = d.size() >= 3;
      if (!ok) break;
      uint16_t slot = Le16(d.data());
      int finger = d[2];
      auto it = std::remove_if(fingers.begin(), fingers.end(),
                               [&](const Finger& f) { return f.slot == slot && f.finger == finger; });
      ok = it != fingers.end();
      fingers.erase(it, fingers.end());
      break;
    }
    case op::UserTempRead: {
      if (d.size() < 3) {
        ok = false;
        break;
      }
      if (faults.dropAfterTemplates >= 0 && sim_.templateReads_++ >= faults.dropAfterTemplates) return false;
      uint16_t slot = Le16(d.data());
      int finger = d[2];
      auto it = std::find_if(fingers.begin(), fingers.end(),
                             [&](const Finger& f) { return f.slot == slot && f.finger == finger; });
      ok = it != fingers.end();
      if (!ok) break;
      pending_ = it->data;
      bool drop = false;
      SendChunk(0, static_cast<uint32_t>(pending_.size()), out, drop);
      pending_.clear();
      return true;
    }
    case op::VerifyWrite: {
      User* u = d.size() >= 3 ? BySlot(users, Le16(d.data())) : nullptr;
      ok = u != nullptr;
      if (ok) u->verifyStyle = d[2];
      break;
    }
    case op::TzWrite: {
      ok = d.size() >= 32;
      if (!ok) break;
      TimeZone tz;
      std::copy(d.begin() + 4, d.begin() + 32, tz.spans);
      sim_.zones_[static_cast<int>(Le32(d.data()))] = tz;
      break;
    }
    case op::UserTzWrite: {
      User* u = d.size() >= 20 ? BySlot(users, static_cast<uint16_t>(Le32(d.data()))) : nullptr;
      ok = u != nullptr;
      if (!ok) break;
      u->ownZones = Le32(d.data() + 4) != 0;
      for (int i = 0; i < 3; ++i) u->zones[i] = Le32(d.data() + 8 + 4 * i);
      break;
    }
    default:
      Reply(out, op::AckUnknown);
      return true;
  }
  Reply(out, ok ? op::AckOk : op::AckError);
  return true;
}

}  // namespace zksim
