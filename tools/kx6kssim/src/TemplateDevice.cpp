#include "kx6kssim/TemplateDevice.h"

#include <algorithm>
#include <cstdio>

namespace px::sim {

std::string TemplateDevice::Id12(long long user) {
  char b[32];
  std::snprintf(b, sizeof b, "%012lld", user);
  return b;
}

std::string TemplateDevice::MakeTemplate(long long user, int fingers, char mode) {
  char rec[32];
  std::snprintf(rec, sizeof rec, "%c %06lld%02d", mode, user % 1000000, fingers);
  std::string t = Id12(user) + rec + "HDRFILLER0";
  for (int i = 0; i < fingers * 6 * 128; ++i) t += static_cast<char>('A' + (user * 7 + i) % 26);
  return t;
}

std::string TemplateDevice::Checksum(const std::string& data) {
  unsigned sum = 0;
  for (unsigned char c : data) sum += c;
  char b[8];
  std::snprintf(b, sizeof b, "%02X", sum & 0xFF);
  return b;
}

void TemplateDevice::AddUser(long long user, int fingers, char mode) {
  SetTemplate(Id12(user), MakeTemplate(user, fingers, mode));
}

void TemplateDevice::SetTemplate(const std::string& id12, const std::string& text) {
  std::lock_guard g(m_);
  users_[id12] = text;
}

bool TemplateDevice::HasUser(const std::string& id12) const {
  std::lock_guard g(m_);
  return users_.count(id12) > 0;
}

std::string TemplateDevice::Template(const std::string& id12) const {
  std::lock_guard g(m_);
  auto it = users_.find(id12);
  return it == users_.end() ? std::string() : it->second;
}

size_t TemplateDevice::UserCount() const {
  std::lock_guard g(m_);
  return users_.size();
}

void TemplateDevice::Clear() {
  std::lock_guard g(m_);
  users_.clear();
  heard_.clear();
  forced_.clear();
}

void TemplateDevice::ForceCode(const std::string& command, const std::string& code, int count) {
  std::lock_guard g(m_);
  forced_.push_back({command, code, count});
}

void TemplateDevice::SetUnits(std::vector<int> units) {
  std::lock_guard g(m_);
  units_ = std::move(units);
}

void TemplateDevice::SetDuRepeats(bool on) {
  std::lock_guard g(m_);
  duRepeats_ = on;
}

std::vector<std::string> TemplateDevice::Heard() const {
  std::lock_guard g(m_);
  return heard_;
}

int TemplateDevice::CountHeard(const std::string& command) const {
  std::lock_guard g(m_);
  return static_cast<int>(std::count_if(heard_.begin(), heard_.end(),
                                        [&](const std::string& h) { return h.compare(0, 2, command) == 0; }));
}

std::string TemplateDevice::Reply(char addr, const std::string& code, const std::string& data) const {
  return std::string(1, addr) + code + data + Checksum(data) + "\r";
}

bool TemplateDevice::Forced(const std::string& command, std::string& code) {
  for (auto it = forced_.begin(); it != forced_.end(); ++it) {
    if (it->command != command && it->command != "*") continue;
    code = it->code;
    if (--it->count <= 0) forced_.erase(it);
    return true;
  }
  return false;
}

bool TemplateDevice::Handle(const std::string& frame, std::string& reply) {
  std::lock_guard g(m_);
  if (frame.size() < 3) return false;
  const char addr = frame[0];
  const int unit = static_cast<unsigned char>(addr) - 0xDF;
  if (unit < 1 || unit > 16) return false;
  if (!units_.empty() && std::find(units_.begin(), units_.end(), unit) == units_.end()) return false;
  const std::string cmd = frame.substr(1, 2);
  // Data frames end in a two-digit checksum of the data.
  const std::string data = frame.size() > 5 ? frame.substr(3, frame.size() - 5) : std::string();
  heard_.push_back(cmd + data);
  if (frame.size() > 3 && (frame.size() < 6 || frame.substr(frame.size() - 2) != Checksum(data))) {
    reply = Reply(addr, "NK", "");
    return true;
  }
  std::string code;
  if (Forced(cmd, code)) {
    reply = Reply(addr, code, "");
    return true;
  }
  if (cmd == "RU") {
    auto it = users_.find(data);
    reply = it == users_.end() ? Reply(addr, "UN", "") : Reply(addr, "RU", it->second);
  } else if (cmd == "EU") {
    reply = Reply(addr, users_.erase(data) ? "AK" : "UN", "");
  } else if (cmd == "RP") {
    duLast_.clear();
    reply = Reply(addr, "AK", "");
  } else if (cmd == "DU") {
    auto it = duLast_.empty() || duRepeats_ ? users_.begin() : users_.upper_bound(duLast_);
    if (it == users_.end()) {
      reply = Reply(addr, "DU", std::string(12, '0'));
    } else {
      duLast_ = it->first;
      reply = Reply(addr, "DU", it->second);
    }
  } else if (cmd == "WU") {
    const int total = std::atoi(data.substr(0, 2).c_str());
    const int k = data.size() >= 4 ? std::atoi(data.substr(2, 2).c_str()) : -1;
    if (k == 0) {
      const std::string id = data.substr(4, 12);
      if (users_.count(id)) {
        reply = Reply(addr, "UE", "");
        return true;
      }
      upId_ = id;
      upText_ = data.substr(4);
      upTotal_ = total;
      upNext_ = 1;
    } else if (k != upNext_ || total != upTotal_ || upId_.empty()) {
      reply = Reply(addr, "NK", "");
      return true;
    } else {
      upText_ += data.substr(4);
      if (++upNext_ == upTotal_) {
        users_[upId_] = upText_;
        upId_.clear();
      }
    }
    reply = Reply(addr, "AK", "");
  } else {
    reply = Reply(addr, "NK", "");
  }
  return true;
}

}  // namespace px::sim
