#pragma once
// A scripted terminal in memory: what the module asked and what it wrote.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zk/IZKEM.h"

namespace px::test {

struct FakeTerminal {
  struct User {
    std::string name, password, card = "0";
    int privilege = 0, style = 0;
    std::map<int, std::vector<std::uint8_t>> fingers;
    std::map<int, int> flags;
    std::string zones;
  };
  bool refuseConnect = false, logsFail = false, probeAnswers = true, templatesLoad = true, clearFails = false;
  bool linkUp = false;
  int templateReadsBeforeDrop = -1;  // the link breaks at the read after this many
  std::vector<ZkLogRecord> logs;
  std::vector<ZkLogRecord> onEnable;   // clockings made as soon as the keypad works again
  std::vector<ZkLogRecord> afterRead;  // clockings that land once the log was read
  std::map<int, User> users;
  std::map<int, std::string> zones;
  std::vector<std::string> calls;
  int connects = 0, clears = 0, restarts = 0, refreshes = 0;
  bool enabled = true;
  std::string pendingCard;
};

class FakeZkem : public IZKEM {
public:
  explicit FakeZkem(std::shared_ptr<FakeTerminal> t) : t_(std::move(t)) {}

  bool ZkConnect(const std::string& a, int port) override {
    t_->calls.push_back("connect " + a + ":" + std::to_string(port));
    ++t_->connects;
    t_->linkUp = !t_->refuseConnect;
    return t_->linkUp;
  }
  void ZkDisconnect() override { t_->calls.push_back("disconnect"); }
  bool ZkLinkUp() override { return t_->linkUp; }
  bool ZkEnableDevice(int, bool on) override {
    if (!t_->linkUp) return false;
    t_->calls.push_back(on ? "enable" : "disable");
    if (on && !t_->enabled) {
      t_->logs.insert(t_->logs.end(), t_->onEnable.begin(), t_->onEnable.end());
      t_->onEnable.clear();
    }
    t_->enabled = on;
    return true;
  }
  bool ZkRestart(int) override {
    ++t_->restarts;
    return true;
  }
  bool ZkRefreshData(int) override {
    t_->calls.push_back("refresh");
    ++t_->refreshes;
    return true;
  }
  bool ZkProbe(int, int& v) override {
    v = static_cast<int>(t_->logs.size());
    return t_->probeAnswers && t_->linkUp;
  }
  bool ZkReadAllLogs(int) override {
    next_ = 0;
    read_ = t_->logs;
    t_->logs.insert(t_->logs.end(), t_->afterRead.begin(), t_->afterRead.end());
    t_->afterRead.clear();
    return !t_->logsFail && !read_.empty();
  }
  bool ZkNextLogRecord(int, ZkLogRecord& r) override {
    if (next_ >= read_.size()) return false;
    r = read_[next_++];
    return true;
  }
  bool ZkNextLogRecordSSR(int m, ZkLogRecord& r) override {
    if (!ZkNextLogRecord(m, r)) return false;
    r.userText = std::to_string(r.user);
    return true;
  }
  bool ZkClearLogs(int) override {
    t_->calls.push_back("clear");
    if (t_->clearFails) {
      t_->linkUp = false;
      return false;
    }
    ++t_->clears;
    t_->logs.clear();
    return true;
  }
  bool ZkSetDeviceTime(int) override {
    t_->calls.push_back("time");
    return true;
  }
  bool ZkReadAllUserIds(int) override {
    walk_ = t_->users.begin();
    return true;
  }
  bool ZkReadAllTemplates(int) override { return t_->templatesLoad; }
  bool ZkNextUserInfo(int, ZkUserInfo& i) override {
    if (walk_ == t_->users.end()) return false;
    Fill(walk_->first, i);
    ++walk_;
    return true;
  }
  bool ZkNextUserInfoSSR(int m, ZkUserInfo& i) override {
    if (!ZkNextUserInfo(m, i)) return false;
    i.userText = std::to_string(i.user);
    return true;
  }
  bool ZkGetUserInfo(int, int u, ZkUserInfo& i) override {
    if (!t_->users.count(u)) return false;
    Fill(u, i);
    return true;
  }
  bool ZkGetUserInfoSSR(int m, const std::string& u, ZkUserInfo& i) override { return ZkGetUserInfo(m, std::stoi(u), i); }
  std::string ZkGetCardNumber(int) override { return card_; }
  void ZkSetCardNumber(int, const std::string& c) override { t_->pendingCard = c; }
  bool ZkSetUserInfo(int, int u, const std::string& n, const std::string& pw, int p, bool) override {
    auto& user = t_->users[u];
    user.name = n;
    user.password = pw;
    user.privilege = p;
    user.card = t_->pendingCard;
    t_->calls.push_back("user " + std::to_string(u) + " pw=" + pw + " card=" + user.card);
    return true;
  }
  bool ZkSetUserInfoSSR(int m, const std::string& u, const std::string& n, const std::string& pw, int p,
                        bool e) override {
    return ZkSetUserInfo(m, std::stoi(u), n, pw, p, e);
  }
  bool ZkDeleteUser(int, int u, int) override { return t_->users.erase(u) > 0; }
  bool ZkDeleteUserSSR(int m, const std::string& u, int b) override { return ZkDeleteUser(m, std::stoi(u), b); }
  bool ZkGetTemplate(int, int u, int f, std::vector<std::uint8_t>& d) override {
    if (t_->templateReadsBeforeDrop == 0) t_->linkUp = false;
    if (!t_->linkUp) return false;
    if (t_->templateReadsBeforeDrop > 0) --t_->templateReadsBeforeDrop;
    auto it = t_->users.find(u);
    if (it == t_->users.end() || !it->second.fingers.count(f)) return false;
    d = it->second.fingers[f];
    return true;
  }
  bool ZkGetTemplateSSR(int m, const std::string& u, int f, std::vector<std::uint8_t>& d) override {
    return ZkGetTemplate(m, std::stoi(u), f, d);
  }
  bool ZkGetTemplateEx(int m, const std::string& u, int f, int& flag, std::vector<std::uint8_t>& d) override {
    flag = 1;
    return ZkGetTemplate(m, std::stoi(u), f, d);
  }
  bool ZkSetTemplate(int, int u, int f, const std::vector<std::uint8_t>& d) override {
    t_->users[u].fingers[f] = d;
    t_->users[u].flags[f] = 1;
    return true;
  }
  bool ZkSetTemplateSSR(int m, const std::string& u, int f, const std::vector<std::uint8_t>& d) override {
    return ZkSetTemplate(m, std::stoi(u), f, d);
  }
  bool ZkSetTemplateEx(int, const std::string& u, int f, int flag, const std::vector<std::uint8_t>& d) override {
    t_->users[std::stoi(u)].fingers[f] = d;
    t_->users[std::stoi(u)].flags[f] = flag;
    return true;
  }
  bool ZkSetVerifyStyle(int, int u, int s) override {
    t_->users[u].style = s;
    return true;
  }
  bool ZkSetTimeZone(int, int z, const std::string& w) override {
    t_->calls.push_back("tz " + std::to_string(z));
    t_->zones[z] = w;
    return true;
  }
  bool ZkSetUserTimeZones(int, int u, const std::string& z) override {
    t_->users[u].zones = z;
    return true;
  }

private:
  void Fill(int u, ZkUserInfo& i) {
    const auto& user = t_->users[u];
    i.user = u;
    i.name = user.name;
    i.password = user.password;
    i.privilege = user.privilege;
    card_ = user.card;
  }
  std::shared_ptr<FakeTerminal> t_;
  size_t next_ = 0;
  std::vector<ZkLogRecord> read_;
  std::map<int, FakeTerminal::User>::iterator walk_;
  std::string card_ = "0";
};

}  // namespace px::test
