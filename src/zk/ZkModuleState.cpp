#include "zk/ZkModuleState.h"

#include "common/StrUtil.h"

namespace px {

bool TZkModuleState::SwitchToCurrentF8(const std::string& callerTag, const std::string& address, bool& connected,
                                int port) {
  switchSkipped = false;
  connected = false;
  int i = table.Find(address, port);
  if (i == 0) {
    log.WriteLog(999, callerTag + " " + address + " " + IntToStr(port) + " Not Found!");
    return false;
  }
  ZkTerminal& t = table[i];
  bool isConnected, reset = false;  // link state as the timer may change it
  int wait;
  {
    std::lock_guard lk(table.Lock());
    // A link that a time-out closed since is no link: connect again.
    if (t.connected && t.control && !t.control->ZkLinkUp()) t.connected = false;
    isConnected = t.connected;
    wait = t.retryWait;
  }
  if (!isConnected) {
    if (wait > 0) {
      log.WriteLog(20, "Retry wait : " + IntToStr(wait));
      switchSkipped = true;
      return false;
    }
    bool ok = t.control && t.control->ZkConnect(address, port);
    lastAddress = address;
    {
      std::lock_guard lk(table.Lock());
      t.connected = ok;
      if (!ok) t.retryWait = settings.RetryWaitSec;
      if (ok && settings.F18Ext && t.resetMark) {
        t.resetMark = false;
        reset = true;
      }
    }
    if (ok) {
      log.WriteLog(0, "IP.Connect to " + address);
    } else {
      log.WriteLog(0, "IP.Failed to Connect to " + address + " Retry in " + IntToStr(settings.RetryWaitSec) + " sec.");
    }
    if (reset) {
      // A terminal whose user installation failed is restarted once.
      t.control->ZkRestart(1);
      log.WriteLog(10, "ZK.Reset after Disconnect");
      std::lock_guard lk(table.Lock());
      t.connected = false;
      t.retryWait = 30;
      ok = false;
      switchSkipped = true;
    }
    connected = ok;
  } else {
    connected = true;
  }
  currentType = t.type;
  isF18 = t.type == "KXF18";
  control = t.control.get();
  log.WriteLog(30, "Switched: " + address + " " + t.type + " SSR=" + BoolStr(isF18));
  // A failed connect is a failed switch: the caller reports it as such.
  return connected;
}

void TZkModuleState::RedirMessage(const std::string& text) {
  if (redirectId.empty()) return;
  std::string entry = redirectId + "_S_" + "8U" + text;
  OnLoop([&] { host.Queue_PutDone(entry); });
}

}  // namespace px
