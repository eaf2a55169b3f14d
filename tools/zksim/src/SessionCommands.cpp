#include <algorithm>
#include <ctime>

#include "Session.h"
#include "zk/ZkLink.h"
#include "zksim/ZkSim.h"

namespace zksim {

using namespace px::zk;

namespace {

SimUser* FindUid(std::vector<SimUser>& users, uint16_t uid) {
  for (SimUser& u : users)
    if (u.user.uid == uid) return &u;
  return nullptr;
}

}  // namespace

bool Session::Handle(const ZkPacket& p, Packets& out) {
  reply_ = p.reply;
  Config cfg;
  Faults faults;
  {
    std::lock_guard<std::mutex> lk(sim_.mu_);
    // A bounded history: enough for tests, no growth in a long CLI run.
    if (sim_.stats_.commands.size() < 100000) sim_.stats_.commands.push_back(p.command);
    cfg = sim_.cfg_;
    faults = sim_.faults_;
  }
  const std::vector<uint8_t>& d = p.data;
  switch (p.command) {
    case CMD_CONNECT: {
      {
        std::lock_guard<std::mutex> lk(sim_.mu_);
        session_ = sim_.nextSession_++;
        if (sim_.nextSession_ == 0) sim_.nextSession_ = 1;
      }
      authed_ = cfg.commKey == 0;
      Reply(out, authed_ ? CMD_ACK_OK : CMD_ACK_UNAUTH);
      return true;
    }
    case CMD_AUTH: {
      // The third byte is the client's tick value; the rest follows from it.
      authed_ = d.size() >= 4 && MakeCommKey(cfg.commKey, session_, d[2]) ==
                                     std::vector<uint8_t>(d.begin(), d.begin() + 4);
      Reply(out, authed_ ? CMD_ACK_OK : CMD_ACK_UNAUTH);
      return true;
    }
    case CMD_EXIT:
      Reply(out, CMD_ACK_OK);
      return false;
    default:
      break;
  }
  if (!authed_) {
    Reply(out, CMD_ACK_UNAUTH);
    return true;
  }
  std::unique_lock<std::mutex> lk(sim_.mu_);
  auto& users = sim_.users_;
  switch (p.command) {
    case CMD_ENABLEDEVICE:
    case CMD_DISABLEDEVICE:
      sim_.stats_.enabled = p.command == CMD_ENABLEDEVICE;
      break;
    case CMD_RESTART:
      ++sim_.stats_.restarts;
      sim_.stats_.enabled = true;
      lk.unlock();
      Reply(out, CMD_ACK_OK);
      return false;
    case CMD_REFRESHDATA:
      break;
    case CMD_GET_FREE_SIZES: {
      std::vector<uint8_t> sizes(92, 0);
      auto put = [&](size_t field, uint32_t v) {
        for (int i = 0; i < 4; ++i) sizes[field * 4 + i] = static_cast<uint8_t>(v >> (8 * i));
      };
      put(4, static_cast<uint32_t>(users.size()));
      put(6, static_cast<uint32_t>(sim_.fingers_.size()));
      put(8, static_cast<uint32_t>(sim_.records_.size() + (faults.corruptRecord && !sim_.records_.empty())));
      put(14, 3000);
      put(15, 10000);
      put(16, 100000);
      lk.unlock();
      Reply(out, CMD_ACK_OK, sizes);
      return true;
    }
    case CMD_GET_TIME: {
      lk.unlock();
      std::vector<uint8_t> v;
      PutU32(v, sim_.ClockValue());
      Reply(out, CMD_ACK_OK, v);
      return true;
    }
    case CMD_SET_TIME: {
      if (d.size() < 4) goto error;
      ZkTime t = ZkDecodeTime(GetU32(d.data()));
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
    case CMD_CLEAR_ATTLOG:
      sim_.records_.clear();
      ++sim_.stats_.clears;
      break;
    case CMD_DATA_WRRQ: {
      if (d.size() < 7) goto error;
      lk.unlock();
      bool known = false;
      std::vector<uint8_t> table = Table(GetU16(d.data() + 1), GetU32(d.data() + 3), known);
      if (!known) {
        Reply(out, CMD_ACK_ERROR);
        return true;
      }
      if (table.size() <= cfg.directLimit) {
        Reply(out, CMD_DATA, table);
        return true;
      }
      pending_ = std::move(table);
      std::vector<uint8_t> stat{0};
      PutU32(stat, static_cast<uint32_t>(pending_.size()));
      PutU32(stat, static_cast<uint32_t>(pending_.size()));
      PutU32(stat, 0);
      Reply(out, CMD_ACK_OK, stat);
      return true;
    }
    case CMD_DATA_RDY: {
      if (d.size() < 8) goto error;
      uint32_t start = GetU32(d.data()), size = GetU32(d.data() + 4);
      if (start > pending_.size() || size > pending_.size() - start || size == 0) goto error;
      lk.unlock();
      bool drop = faults.dropMidTransfer;
      SendChunk(start, size, out, drop);
      return true;
    }
    case CMD_FREE_DATA:
      pending_.clear();
      inbound_.clear();
      break;
    case CMD_PREPARE_DATA:
      inbound_.clear();
      break;
    case CMD_DATA:
      if (inbound_.size() + d.size() > (16u << 20)) goto error;
      inbound_.insert(inbound_.end(), d.begin(), d.end());
      break;
    case CMD_TMP_WRITE: {
      if (d.size() < 6) goto error;
      uint16_t uid = GetU16(d.data());
      int finger = d[2], flag = d[3];
      size_t size = GetU16(d.data() + 4);
      if (!FindUid(users, uid) || finger > 9 || size == 0 || size > inbound_.size()) goto error;
      auto& fs = sim_.fingers_;
      fs.erase(std::remove_if(fs.begin(), fs.end(),
                              [&](const ZkFinger& f) { return f.uid == uid && f.finger == finger; }),
               fs.end());
      fs.push_back(ZkFinger{uid, finger, flag, std::vector<uint8_t>(inbound_.begin(), inbound_.begin() + size)});
      break;
    }
    case CMD_USER_WRQ: {
      std::vector<ZkUser> parsed;
      if ((d.size() != kUserSmall && d.size() != kUserLarge) || !ParseUsers(d.data(), d.size(), d.size(), parsed))
        goto error;
      if (SimUser* u = FindUid(users, parsed[0].uid)) {
        u->user = parsed[0];
      } else {
        SimUser nu;
        nu.user = parsed[0];
        users.push_back(nu);
      }
      break;
    }
    case CMD_DELETE_USER: {
      if (d.size() < 2) goto error;
      uint16_t uid = GetU16(d.data());
      if (!FindUid(users, uid)) goto error;
      users.erase(std::remove_if(users.begin(), users.end(), [&](const SimUser& u) { return u.user.uid == uid; }),
                  users.end());
      auto& fs = sim_.fingers_;
      fs.erase(std::remove_if(fs.begin(), fs.end(), [&](const ZkFinger& f) { return f.uid == uid; }), fs.end());
      break;
    }
    case CMD_DELETE_USERTEMP: {
      if (d.size() < 3) goto error;
      uint16_t uid = GetU16(d.data());
      int finger = d[2];
      auto& fs = sim_.fingers_;
      auto it = std::remove_if(fs.begin(), fs.end(),
                               [&](const ZkFinger& f) { return f.uid == uid && f.finger == finger; });
      if (it == fs.end()) goto error;
      fs.erase(it, fs.end());
      break;
    }
    case CMD_USERTEMP_RRQ: {
      if (d.size() < 3) goto error;
      uint16_t uid = GetU16(d.data());
      int finger = d[2];
      auto it = std::find_if(sim_.fingers_.begin(), sim_.fingers_.end(),
                             [&](const ZkFinger& f) { return f.uid == uid && f.finger == finger; });
      if (it == sim_.fingers_.end()) goto error;
      pending_ = it->data;
      lk.unlock();
      bool drop = false;
      SendChunk(0, static_cast<uint32_t>(pending_.size()), out, drop);
      pending_.clear();
      return true;
    }
    case CMD_VERIFY_WRQ: {
      if (d.size() < 3) goto error;
      SimUser* u = FindUid(users, GetU16(d.data()));
      if (!u) goto error;
      u->verifyStyle = d[2];
      break;
    }
    case CMD_TZ_WRQ: {
      if (d.size() < 32) goto error;
      TimeZone tz;
      std::copy(d.begin() + 4, d.begin() + 32, tz.spans);
      sim_.zones_[static_cast<int>(GetU32(d.data()))] = tz;
      break;
    }
    case CMD_USERTZ_WRQ: {
      if (d.size() < 20) goto error;
      SimUser* u = FindUid(users, static_cast<uint16_t>(GetU32(d.data())));
      if (!u) goto error;
      u->ownZones = GetU32(d.data() + 4) != 0;
      for (int i = 0; i < 3; ++i) u->zones[i] = GetU32(d.data() + 8 + 4 * i);
      break;
    }
    default:
      lk.unlock();
      Reply(out, CMD_ACK_UNKNOWN);
      return true;
  }
  lk.unlock();
  Reply(out, CMD_ACK_OK);
  return true;
error:
  if (lk.owns_lock()) lk.unlock();
  Reply(out, CMD_ACK_ERROR);
  return true;
}

}  // namespace zksim
