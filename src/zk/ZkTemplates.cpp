#include "zk/ZkTemplates.h"

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {

constexpr const char* kNoCard = "0000000000";

// The terminal's card number as ten digits; anything else counts as no card.
std::string CardText(const std::string& card) {
  long long v = 0;
  if (!TryStrToInt(Trim(card), v) || v < 0 || v > 9999999999LL) v = 0;
  return Format("%10.10lld", v);
}

int UserNumber(const ZkUserInfo& info, bool ssr) {
  if (!ssr) return info.user;
  long long v = 0;
  return TryStrToInt(Trim(info.userText), v) && v >= 0 && v <= 0x7fffffff ? static_cast<int>(v) : 0;
}

}  // namespace

bool TZkTemplates::Switch(const std::string& address12, int port, std::string& dotted) {
  int ignored = 0;
  TZkTerminalTable::SplitAddress(address12, dotted, ignored);
  bool connected = false;
  if (!mod_.SwitchToCurrentF8("Upload", dotted, connected, port)) {
    mod_.log.WriteLog(999, "Failed to Connect: " + dotted);
    return false;
  }
  return connected;
}

bool TZkTemplates::UploadAll(const std::string& address, int port) {
  std::string dotted;
  int ignored = 0;
  TZkTerminalTable::SplitAddress(address, dotted, ignored);
  mod_.log.WriteLog(0, "Download to PC.ips=" + dotted + " " + IntToStr(port));
  if (!Switch(address, port, dotted)) return false;
  return UploadTemplates();
}

bool TZkTemplates::UploadOne(const std::string& address, int port, const std::string& user) {
  try {
    std::string dotted;
    int ignored = 0;
    TZkTerminalTable::SplitAddress(address, dotted, ignored);
    mod_.log.WriteLog(10, "UpOne.A=" + dotted + " P=" + IntToStr(port));
    if (!Switch(address, port, dotted)) return false;
    return UploadOneTemplate(user);
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.UpTOne>") + e.what());
    return false;
  }
}

bool TZkTemplates::ReadFinger(int user, int finger, std::vector<std::uint8_t>& data) {
  IZKEM& zk = *mod_.control;
  data.assign(TZkCardList::kTemplateSize, 0);
  bool ok;
  if (mod_.isF18 && (mod_.settings.Alg10 || mod_.settings.F18Ext)) {
    int flag = 0;
    ok = zk.ZkGetTemplateEx(mod_.machine, IntToStr(user), finger, flag, data);
  } else if (mod_.isF18) {
    ok = zk.ZkGetTemplateSSR(mod_.machine, IntToStr(user), finger, data);
  } else {
    ok = zk.ZkGetTemplate(mod_.machine, user, finger, data);
  }
  if (data.size() > TZkCardList::kTemplateSize) data.resize(TZkCardList::kTemplateSize);
  return ok;
}

std::string TZkTemplates::ModeWithoutFinger(const std::string& user, const std::string& card,
                                            const std::string& password, bool report) {
  bool hasCard = card != kNoCard, hasPw = !Trim(password).empty();
  auto redir = [&](const std::string& t) {
    if (report) mod_.RedirMessage(t);
  };
  if (!hasCard && hasPw) {
    redir(user + " - PW Only : ****");
    if (report) mod_.log.WriteLog(10, user + ": Pwd Only : ****");
    return "W";
  }
  if (!hasCard) {
    mod_.log.WriteLog(10, report ? "Error: no finger no card no pw (1)" : "Error: no finger no card");
    return "";
  }
  if (hasPw) {
    redir(user + " - Card+PW : " + card + " + *****");
    if (report) mod_.log.WriteLog(10, user + ": Card + Pwd - " + card + " : ****");
    return "P";
  }
  redir(user + " - Card Only : " + card);
  if (report) mod_.log.WriteLog(10, user + ": Card Only - " + card);
  return "C";
}

void TZkTemplates::CardOnlyPass() {
  IZKEM& zk = *mod_.control;
  mod_.log.WriteLog(10, "No one use template, card/PIN only");
  cards_.ClearZKList();
  int users = 0;
  ZkUserInfo info;
  while (!mod_.worker.Stopping() &&
         (mod_.isF18 ? zk.ZkNextUserInfoSSR(mod_.machine, info) : zk.ZkNextUserInfo(mod_.machine, info))) {
    ++users;
    std::string user = Format("%6.6d", UserNumber(info, mod_.isF18));
    std::string card = CardText(zk.ZkGetCardNumber(0));
    mod_.log.WriteLog(10, "C.Retrieving " + user + "," + card);
    std::string mode = ModeWithoutFinger(user, card, info.password, true);
    if (!mode.empty()) cards_.SavetoCardFile(user, card, mode, info.password);
  }
  mod_.RedirMessage("Total " + IntToStr(users) + " Templates Uploaded.");
}

void TZkTemplates::Total(int users) {
  std::string total = "Total " + IntToStr(users) + " Uploaded.";
  mod_.OnLoop([&] { mod_.host.WriteToAuditTrail("Temp.UpAll", total); });
  mod_.RedirMessage("Total " + IntToStr(users) + " Templates Uploaded.");
}

bool TZkTemplates::LinkLost() {
  if (mod_.control->ZkLinkUp()) return false;
  mod_.log.WriteLog(999, "ZK.UpT: transfer broke off, the collection is left as it was.");
  return true;
}

bool TZkTemplates::ReadFingers(const std::string& user, int number, bool report, Collected& c) {
  const bool ext = mod_.settings.F18Ext;
  std::vector<std::uint8_t> data;
  for (int finger = 0; finger <= (ext ? 9 : 1); ++finger) {
    if (ReadFinger(number, finger, data)) {
      c.files.emplace_back(c.files.empty() ? 0 : ext ? static_cast<int>(c.files.size()) : finger, data);
      if (report) {
        std::string mark = c.password.empty() ? "" : " (PW)";
        mod_.log.WriteLog(999, user + " - (" + c.card + ")" + mark);
        mod_.RedirMessage(user + " - Finger" + IntToStr(finger) + " uploaded. (" + c.card + ")" + mark);
      }
      continue;
    }
    // A finger the terminal does not have, or a link that broke: only the
    // first is an answer.
    if (LinkLost()) return false;
    if (report && !ext) {
      c.fingerMissing = true;
      if (c.card == kNoCard && c.password.empty()) mod_.RedirMessage(user + " - Error reading finger 0");
      mod_.log.WriteLog(10, user + ": Failed to retrieve FP.");
      // The user counts as having no finger whatever the next one holds:
      // reading it would only leave a file nobody installs.
      break;
    }
  }
  return true;
}

bool TZkTemplates::Commit(const std::vector<Collected>& users, bool clearList) {
  // Files first: a file that cannot be written fails the collection before
  // the list is touched.
  for (const Collected& c : users)
    for (const auto& [n, data] : c.files)
      if (!cards_.SavetoTemplateFile(cards_.TemplatePath(c.user, n), data)) return false;
  if (clearList) cards_.ClearZKList();
  for (const Collected& c : users) {
    // A finger no longer collected must not be installed from an older file.
    std::vector<int> keep;
    for (const auto& f : c.files) keep.push_back(f.first);
    cards_.RemoveTemplateFiles(c.user, keep);
    if (!c.mode.empty()) cards_.SavetoCardFile(c.user, c.card, c.mode, c.password);
  }
  return true;
}

bool TZkTemplates::UploadTemplates() {
  try {
    IZKEM& zk = *mod_.control;
    const int m = mod_.machine;
    const bool ext = mod_.settings.F18Ext;
    if (!zk.ZkReadAllUserIds(m)) {
      mod_.log.WriteLog(0, "Failed to upload template.");
      return false;
    }
    if (mod_.isF18 && !zk.ZkReadAllTemplates(1)) {
      if (LinkLost()) return false;
      CardOnlyPass();
      return false;
    }
    // Everything is read before anything is stored: a transfer that breaks
    // off leaves the current collection as it was.
    std::vector<Collected> collected;
    int users = 0;
    ZkUserInfo info;
    while (mod_.isF18 ? zk.ZkNextUserInfoSSR(m, info) : zk.ZkNextUserInfo(m, info)) {
      if (mod_.worker.Stopping()) return false;
      ++users;
      Collected c;
      c.user = Format("%6.6d", UserNumber(info, mod_.isF18));
      c.card = CardText(zk.ZkGetCardNumber(0));
      c.password = Trim(info.password);
      mod_.log.WriteLog(0, "Retrieving " + c.user + "," + c.card);
      if (!ReadFingers(c.user, UserNumber(info, mod_.isF18), true, c)) return false;
      bool fingers = !c.files.empty() && (ext || !c.fingerMissing);
      if (fingers) {
        if (!c.password.empty()) {
          c.mode = "R";
          mod_.log.WriteLog(10, c.user + ": Finger + card=(" + c.card + ") + PW");
        } else if (c.card != kNoCard) {
          c.mode = "M";
          mod_.log.WriteLog(10, c.user + ": Finger + card=(" + c.card + ")");
        } else {
          c.mode = "F";
          mod_.log.WriteLog(10, c.user + ": Finger + no card=(" + c.card + ")");
        }
      } else {
        c.mode = ModeWithoutFinger(c.user, c.card, c.password, true);
      }
      collected.push_back(std::move(c));
    }
    if (!Commit(collected, true)) return false;
    Total(users);
    return true;
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.UpT>") + e.what());
    return false;
  }
}

bool TZkTemplates::UploadOneTemplate(const std::string& userText) {
  IZKEM& zk = *mod_.control;
  const int m = mod_.machine;
  const bool toggle = mod_.isF18 && mod_.settings.F18Ext;
  bool stored = false;
  try {
    if (toggle) zk.ZkEnableDevice(m, false);
    long long v = 0;
    if (!TryStrToInt(Trim(userText), v) || v < 0 || v > 999999) {
      mod_.log.WriteLog(999, "<ZK.DLOne> user number not valid");
    } else {
      int number = static_cast<int>(v);
      Collected c;
      c.user = Format("%6.6d", number);
      c.card = kNoCard;
      zk.ZkReadAllUserIds(m);
      ZkUserInfo info;
      bool got = mod_.isF18 ? zk.ZkGetUserInfoSSR(m, IntToStr(number), info) : zk.ZkGetUserInfo(m, number, info);
      if (got) {
        c.card = CardText(zk.ZkGetCardNumber(0));
        c.password = Trim(info.password);
      } else if (!LinkLost()) {
        mod_.log.WriteLog(0, "Failed to get user info: " + c.user);
      }
      if (zk.ZkLinkUp() && ReadFingers(c.user, number, false, c)) {
        if (!c.files.empty()) {
          c.mode = !c.password.empty() ? "R" : c.card != kNoCard ? "M" : "F";
          const std::string found = IntToStr(static_cast<long long>(c.files.size()));
          if (c.mode == "R") mod_.log.WriteLog(10, c.user + ": Finger + card=(" + c.card + ") PW");
          else if (c.mode == "M") mod_.log.WriteLog(10, c.user + ": Finger + card=(" + c.card + ")");
          else mod_.log.WriteLog(10, c.user + ": Finger only (Total=" + found + ")");
        } else {
          c.mode = ModeWithoutFinger(c.user, c.card, c.password, false);
        }
        stored = !c.mode.empty() && Commit({c}, false);
      }
    }
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.DLOne>") + e.what());
    stored = false;
  }
  if (toggle && zk.ZkLinkUp()) zk.ZkEnableDevice(m, true);
  return stored;
}

bool TZkTemplates::WriteUser(int user, const std::string& password) {
  IZKEM& zk = *mod_.control;
  if (mod_.isF18) return zk.ZkSetUserInfoSSR(mod_.machine, IntToStr(user), "", password, 0, true);
  return zk.ZkSetUserInfo(mod_.machine, user, "", password, 0, true);
}

bool TZkTemplates::WriteFinger(int user, int finger, const std::vector<std::uint8_t>& data) {
  IZKEM& zk = *mod_.control;
  const int m = mod_.machine;
  const auto& s = mod_.settings;
  // Flag 1 marks a template valid; a terminal ignores one written with 0.
  constexpr int kValid = 1;
  if (mod_.isF18) {
    return s.Alg10 || s.F18Ext ? zk.ZkSetTemplateEx(m, IntToStr(user), finger, kValid, data)
              : zk.ZkSetTemplateSSR(m, IntToStr(user), finger, data);
  }
  return s.Alg10 ? zk.ZkSetTemplateEx(m, IntToStr(user), finger, kValid, data)
                 : zk.ZkSetTemplate(m, user, finger, data);
}

bool TZkTemplates::InstallTemplate(const std::string& userText, int& style) {
  style = 0;
  IZKEM& zk = *mod_.control;
  const int m = mod_.machine;
  const auto& s = mod_.settings;
  const bool toggle = mod_.isF18 && s.F18Ext;
  std::string card, mode, pw;
  if (!cards_.ReadFromCardFile(userText, card, mode, pw)) {
    mod_.log.WriteLog(999, "Failed to get " + userText + " from card list");
    return false;
  }
  int user = static_cast<int>(StrToIntDef(userText, 0));
  bool ok = false;
  if (toggle) zk.ZkEnableDevice(m, false);
  try {
    zk.ZkSetCardNumber(0, card);
    mod_.log.WriteLog(0, "ZKFP - Install Template: " + userText + ":" + card + ":" + mode);
    auto setStyle = [&](int value) {
      style = value;
      return zk.ZkSetVerifyStyle(m, user, value);
    };
    if (mode == "F" || mode == "R" || mode == "M") {
      std::vector<std::uint8_t> tpl;
      // The terminal is given the template's own length, not the file's.
      auto read = [&](int n, std::vector<std::uint8_t>& t) {
        if (!cards_.ReadFromTemplateFile(cards_.TemplatePath(userText, n), t)) return false;
        t.resize(TZkCardList::TemplateLength(t));
        return !t.empty();
      };
      if (!read(0, tpl)) {
        mod_.log.WriteLog(999, "Failed to read template : " + userText);
      } else {
        if (mode != "R") pw.clear();
        if (mod_.isF18) {
          ok = WriteUser(user, pw) && WriteFinger(user, 0, tpl);
          mod_.log.WriteLog(0, "(F18) Ins.Template: " + IntToStr(user) + " - Res=" + (ok ? "OK" : "XX"));
        } else {
          WriteUser(user, pw);  // an existing user is simply rewritten
          ok = WriteFinger(user, 0, tpl);
          mod_.log.WriteLog(0, "(F8) Ins.Template: " + IntToStr(user) + " - Res=" + (ok ? "OK" : "XX"));
        }
        std::vector<std::uint8_t> second;
        if (ok && read(1, second)) {
          ok = WriteFinger(user, 1, second);
          mod_.log.WriteLog(10, std::string("ZKFP - Second Finger - ") + (ok ? "OK" : "XX"));
        }
        if (ok && mode == "R") ok = WriteUser(user, pw) && setStyle(137);
        if (mode == "M") {
          zk.ZkSetCardNumber(0, card);
          if (ok) {
            ok = WriteUser(user, pw);
            int value = s.FingerOrCard ? 134 : 138;
            if (ok) ok = setStyle(value);
            mod_.log.WriteLog(10, std::string(s.FingerOrCard ? "Finger Or Card.134" : "Finger And Card.138") +
                                       " - dev=" + IntToStr(m) + " C=" + userText + " - " + (ok ? "OK" : "XX"));
          }
        }
      }
    } else if (card != kNoCard) {
      ok = WriteUser(user, pw);
      if (ok) {
        if (mode == "P") ok = setStyle(139);
        else if (mode == "C") ok = setStyle(132);
        else mod_.log.WriteLog(999, "Unknown Mode: " + mode);
      }
      mod_.log.WriteLog(10, std::string("Crd/PW: Res=") + BoolStr(ok));
    } else if (mode == "W") {
      ok = WriteUser(user, pw);
      if (ok) ok = setStyle(131);
      mod_.log.WriteLog(10, std::string("PW: Res=") + BoolStr(ok));
    }
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.Inst>") + e.what());
    ok = false;
  }
  // Also after a failure: a terminal is never left disabled.
  zk.ZkRefreshData(m);
  if (toggle) zk.ZkEnableDevice(m, true);
  mod_.log.WriteLog(10, std::string("ZK.Inst.End: Res=") + (ok ? "OK" : "XX"));
  return ok;
}

bool TZkTemplates::DeleteTemplate(const std::string& tag, const std::string& userText) {
  try {
    IZKEM& zk = *mod_.control;
    const int m = mod_.machine;
    mod_.log.WriteLog(0, "ZKFP - Delete Template: Unit=" + IntToStr(m) + "  Crd=" + userText);
    int user = static_cast<int>(StrToIntDef(userText, 0));
    bool ok;
    if (mod_.isF18) {
      ok = zk.ZkDeleteUserSSR(m, IntToStr(user), 12);
      mod_.log.WriteLog(0, "(F18) Del.Template.12: " + IntToStr(user) + " " + (ok ? "OK" : "XX"));
    } else {
      ok = zk.ZkDeleteUser(m, user, 12);
      mod_.log.WriteLog(0, "(F8) Del.Template: " + userText + " " + (ok ? "OK" : "XX"));
    }
    bool refreshed = zk.ZkRefreshData(m);
    mod_.log.WriteLog(10, std::string("ZK.Del.End: Res=") + (refreshed ? "OK" : "XX"));
    return ok;
  } catch (const std::exception& e) {
    mod_.log.WriteLog(999, std::string("<ZK.DelT>") + e.what());
    return false;
  }
}

}  // namespace px
