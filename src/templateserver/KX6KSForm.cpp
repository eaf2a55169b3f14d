#include "templateserver/KX6KSForm.h"

#include <filesystem>
#include <fstream>
#include <set>

#include "clientserver/BusyMark.h"
#include "common/ControllerTable.h"
#include "common/FileIo.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "platform/Sql.h"
#include "templateserver/KX6KSFrame.h"

namespace px {

namespace fs = std::filesystem;

namespace {
constexpr size_t kMemoLines = 1000;
// A reply without more than the address, code, 12-digit ID, user record and
// checksum carries no template.
constexpr size_t kNoTemplateLen = 36;

using kx6ks::Shown;

// The ZKList card of a user: the number of the 12-digit ID in six digits, as
// a bulk download stores it.
std::string CardOf(const std::string& id12) { return Format("%6.6lld", StrToInt(id12)); }
}  // namespace

TKX6KSForm::TKX6KSForm(KX6KSHost host)
    : host_(std::move(host)),
      link_(*host_.loop, *host_.log, host_.stopping),
      list_(host_.db, host_.runSql, *host_.log),
      q_(host_.db) {
  link_.timing = host_.timing;
  link_.templateDir = host_.appDir + "templates/";
  link_.OnMemo = [this](const std::string& l) { AddMemo(l); };
  Init6KS();
}

TKX6KSForm::~TKX6KSForm() { link_.Close(); }

void TKX6KSForm::AddMemo(const std::string& line) {
  memo_.push_back(line);
  while (memo_.size() > kMemoLines) memo_.pop_front();
}

bool TKX6KSForm::Refused(const char* what) {
  Log(10, std::string("6KS.Reentrant: ") + what + " refused while another transfer runs");
  return false;
}

bool TKX6KSForm::RefusedForMaster(const char* mode, const std::string& user) {
  Log(999, std::string("No operation on Master Unit: (") + mode + " " + Shown(user) + ")");
  return false;
}

void TKX6KSForm::Init6KS() {
  try {
    masterDefined_ = false;
    combo_.clear();
    devices_.clear();
    memo_.clear();
    if (!host_.runSql) return;
    const bool any = host_.runSql(q_, "select * from rdrmain where controller_type=" + SqlQuote("KX6000"), true);
    q_.Close();
    if (!any || host_.master.empty()) return;
    if (host_.runSql(q_, "select * from rdrmain where tag_name=" + SqlQuote(host_.master) +
                             " and controller_type=" + SqlQuote("KX6000"), true)) {
      masterDefined_ = true;
      combo_.push_back(host_.master);
      const int point = static_cast<int>(StrToIntDef(q_.FieldOr("logical_point"), 0));
      devices_.push_back(Format("%4d%s", UnitOfPoint(point), Trim(q_.FieldOr("spare3")).c_str()));
    }
    q_.Close();
  } catch (const std::exception& e) {
    Log(999, std::string("<6KS.Init>") + e.what());
  }
}

void TKX6KSForm::FormShow() {
  if (masterDefined_) return;
  message_ = "Master KX6KS Unit is not defined.";
  Log(999, "Master KX6KS not defined: " + host_.master);
}

bool TKX6KSForm::IsMaster6KS(const std::string& controller) const {
  const std::string c = Trim(controller);
  for (const auto& m : combo_)
    if (m == c) return true;
  return false;
}

bool TKX6KSForm::IsMasterDevice(const std::string& address12, int unit) const {
  const std::string ip = KeyToIP(Trim(address12));
  if (ip.empty()) return false;
  for (const auto& d : devices_) {
    const std::string master = KeyToIP(CopyFrom(d, 5));
    if (!master.empty() && master == ip && StrToIntDef(Trim(Copy(d, 1, 4)), -1) == UnitOfPoint(unit)) return true;
  }
  return false;
}

void TKX6KSForm::CloseSocket() {
  // The connection belongs to the transfer under way.
  if (busy_) {
    Refused("close");
    return;
  }
  link_.Close();
}

void TKX6KSForm::CloseAndPause() {
  if (!link_.Connected()) return;
  link_.Close();
  host_.loop->Sleep(200);
}

void TKX6KSForm::Polling(const std::string& address12, const char* onOff) {
  if (host_.onOffPolling) host_.onOffPolling(KeyToIP(address12), onOff);
}

int TKX6KSForm::Send(const std::string& address12, const std::string& command, std::string& reply, int unit,
                     const std::string& data) {
  // No address: the exchange goes on on the open connection.
  const std::string ip = address12.empty() ? std::string() : KeyToIP(address12);
  if (!address12.empty() && ip.empty()) {
    Log(999, "<6KS.Send> bad device address: " + address12);
    return 0;
  }
  return link_.SendKX6KS(ip, host_.port, command, reply, unit, data);
}

int TKX6KSForm::UserCommand(const char* command, const char* tag, const std::string& user,
                            const std::string& address12, int unit, std::string& id12) {
  try {
    if (!kx6ks::UserId12(user, id12)) {
      Log(999, std::string(tag) + " bad user ID: " + Shown(user));
      return 0;
    }
    std::string reply;
    return Send(address12, command, reply, unit, id12);
  } catch (const std::exception& e) {
    Log(999, tag + std::string(e.what()));
    return 0;
  }
}

int TKX6KSForm::RemoveOn(const std::string& user, const std::string& address12, int unit) {
  std::string id12;
  const int code = UserCommand("EU", "<6KS.RMOneT>", user, address12, unit, id12);
  if (code == -6) Log(0, "Remove: No Such ID - " + id12);
  return code;
}

int TKX6KSForm::UploadOn(const std::string& user, const std::string& address12, int unit) {
  std::string id12;
  const int code = UserCommand("WU", "<6KS.UpOneT>", user, address12, unit, id12);
  if (code == -1) Log(0, id12 + " Exists in KX6KS.");
  return code;
}

bool TKX6KSForm::UploadOneTemplate(const std::string& user, const std::string& address12, int unit) {
  if (IsMasterDevice(address12, unit)) return RefusedForMaster("A", user);
  if (busy_) return Refused("upload");
  TBusyMark mark(busy_);
  const int code = UploadOn(user, address12, unit);
  return code == 1 || code == -1;
}

bool TKX6KSForm::RemoveOneTemplate(const std::string& user, const std::string& address12, int unit) {
  if (IsMasterDevice(address12, unit)) return RefusedForMaster("D", user);
  if (busy_) return Refused("remove");
  TBusyMark mark(busy_);
  return RemoveOn(user, address12, unit) == 1;
}

TemplateHandOff TKX6KSForm::HandOffCardCommand(bool add, const std::string& user, const std::string& address12,
                                               int unit) {
  if (IsMasterDevice(address12, unit)) {
    RefusedForMaster(add ? "A" : "D", user);
    return TemplateHandOff::Skipped;
  }
  if (busy_) {
    Refused("card command");
    return TemplateHandOff::Failed;
  }
  TBusyMark mark(busy_);
  int code = RemoveOn(user, address12, unit);
  // A device that does not know the user holds nothing to remove: the card
  // can still be deleted from the controller.
  bool ok = code == 1 || (!add && code == -6);
  if (add) {
    code = UploadOn(user, address12, unit);
    ok = code == 1 || code == -1;
  }
  link_.Close();
  return ok ? TemplateHandOff::Done : TemplateHandOff::Failed;
}

bool TKX6KSForm::WriteTemplateFile(const std::string& id12, const std::string& text) {
  // Written beside and renamed: a failed write leaves the previous file whole.
  const std::string path = link_.templateDir + kx6ks::TemplateFileName(id12);
  std::error_code ec;
  fs::create_directories(host_.appDir + "templates", ec);
  const bool ok = ReplaceFile(path, text + "\r\n", ".part", false);
  if (!ok) Log(999, "<6KS.WrTpl> template file not written: " + path);
  return ok;
}

bool TKX6KSForm::DownloadOneTemplate(const std::string& user, const std::string& address12, int unit) {
  if (busy_) return Refused("download");
  TBusyMark mark(busy_);
  bool ok = false;
  const std::string shown = Shown(user);
  try {
    AddMemo("> Download " + shown);
    Log(10, "6KS.Download " + shown);
    std::string id12, reply;
    if (!kx6ks::UserId12(user, id12)) {
      Log(999, "<6KS.DOneT> bad user ID: " + shown);
      return false;
    }
    Polling(address12, "0");
    const int code = Send(address12, "RU", reply, unit, id12);
    if (code == 1) {
      const std::string fg = IntToStr(static_cast<long long>(reply.size() < 5 ? 0 : (reply.size() - 5) / 768));
      AddMemo("> " + shown + " Downloaded (FG=" + fg + ")");
      Log(10, shown + " Downloaded (FG=" + fg + ")  len=" + IntToStr(static_cast<long long>(reply.size())));
      if (reply.size() > kNoTemplateLen) {
        ok = WriteTemplateFile(id12, Copy(reply, 4, static_cast<long long>(reply.size()) - 5));
        if (ok) list_.SavetoCardFile(CardOf(id12), Copy(reply, 16, 10));
      }
    } else {
      Log(10, "(" + IntToStr(code) + ") : " + kx6ks::ResultText(code) + " : " + shown);
      AddMemo("> " + kx6ks::ResultText(code) + " : " + shown);
    }
  } catch (const std::exception& e) {
    Log(999, std::string("<6KS.DOneT>") + e.what());
    ok = false;
  }
  // Also after a success: the engine would otherwise never poll the device again.
  Polling(address12, "1");
  return ok;
}

bool TKX6KSForm::DownloadAllTemplates(const std::string& address12, int unit) {
  if (busy_) return Refused("download");
  TBusyMark mark(busy_);
  bool ok = false;
  try {
    AddMemo("> Download All Templates:");
    Polling(address12, "0");
    std::string reply;
    if (Send(address12, "RP", reply, unit, "") != 1) {
      Log(999, "6KS.DAll.Failed.RP");
    } else {
      list_.Clear6KSList();
      int count = 0;
      // The device walks its users once: an ID it gives again means it is
      // going round, and would do so for ever.
      std::set<std::string> seen;
      for (;;) {
        if (Send("", "DU", reply, unit, "") != 1) break;
        if (reply.size() <= kNoTemplateLen) {
          ok = true;
          break;
        }
        const std::string id12 = Copy(reply, 4, 12);
        if (!seen.insert(id12).second) {
          Log(999, "<6KS.DAllT> user ID " + Shown(id12) + " given again: download ended");
          break;
        }
        std::string checked;
        // The ID names a file: only twelve digits are taken from the device.
        if (id12.size() != 12 || !kx6ks::UserId12(id12, checked)) {
          Log(999, "<6KS.DAllT> reply without a user ID skipped");
          continue;
        }
        if (!WriteTemplateFile(id12, Copy(reply, 4, static_cast<long long>(reply.size()) - 5))) break;
        const std::string user = CardOf(id12);
        const std::string record = Copy(reply, 16, 10);
        ++count;
        RedirMessage(Format("%4d", count) + ". " + user + " " + kx6ks::DescribeUserRecord(record));
        list_.SavetoCardFile(user, record);
      }
      RedirMessage(count > 0 ? "      Total IDs = " + IntToStr(count) : "> No ID Found.");
      if (host_.audit) host_.audit("Temp.UpAll", "Total " + IntToStr(count) + " ID Uploaded.");
    }
  } catch (const std::exception& e) {
    Log(999, std::string("<6KS.DAllT>") + e.what());
    ok = false;
  }
  link_.Close();
  Polling(address12, "1");
  return ok;
}

bool TKX6KSForm::AddDelTemplate(const std::string& mode, const std::string& controller, const std::string& user) {
  if (IsMaster6KS(controller)) return RefusedForMaster(Shown(mode).c_str(), user);
  if (busy_) return Refused("add/delete");
  std::string address;
  int unit = 0;
  bool found = false;
  if (host_.runSql) {
    found = host_.runSql(q_, "select * from rdrmain where Tag_name=" + SqlQuote(Trim(controller)), true);
    if (found) {
      address = Trim(q_.FieldOr("spare3"));
      unit = UnitOfPoint(static_cast<int>(StrToIntDef(q_.FieldOr("logical_point"), 0)));
    }
    q_.Close();
  }
  if (!found) return false;
  const bool ok = HandOffCardCommand(mode == "A", user, address, unit) == TemplateHandOff::Done;
  Log(0, "Template Add/Del: " + Shown(mode) + " " + Shown(user) + " - " + (ok ? "OK" : "Failed"));
  return ok;
}

void TKX6KSForm::BackupDatFile() {
  const std::string src = host_.appDir + "templates/KX6KS.Dat";
  std::error_code ec;
  if (!fs::exists(src, ec)) return;
  fs::create_directories(host_.appDir + "templates/bak", ec);
  const std::string dst = host_.appDir + "templates/bak/" + FormatDateTime("yymmddhhnnss", host_.clock->LocalNow());
  fs::copy_file(src, dst, fs::copy_options::overwrite_existing, ec);
  if (ec) Log(999, "<6KS.DAllT> backup of KX6KS.Dat failed: " + ec.message());
}

bool TKX6KSForm::ServerDownloadATemplate(const std::string& mode, const std::string& controller,
                                         const std::string& clientKey, const std::string& user,
                                         const std::string& unitText, const std::string& address12) {
  if (!host_.enabled) {
    Log(999, "<SvrDownloadTemp> KX6KS not enabled.");
    return false;
  }
  if (!IsMaster6KS(controller)) {
    Log(999, "Server.DownloadTemp - " + Shown(controller) + " is not Master Unit (" + host_.master + ")");
    return false;
  }
  if (busy_) return Refused("client job");
  {
    // Nothing else may start on the device during the pause before the transfer.
    TBusyMark mark(busy_);
    const std::string job = Shown(controller) + " Mode=" + Shown(mode) + " " + Shown(user);
    Log(999, "Server.DownloadTemp - " + job);
    if (host_.audit) host_.audit("Svr.Temp Download", job);
    host_.loop->Sleep(200);
    Log(10, "6KS.Mode=" + Shown(mode) + " " + Shown(address12) + " " + Shown(unitText));
  }
  // The device is the configured master as the registry knows it: an
  // address in a client's request never decides where the server connects.
  if (devices_.empty()) return false;
  const int unit = static_cast<int>(StrToIntDef(Trim(Copy(devices_[0], 1, 4)), 0));
  const std::string master12 = CopyFrom(devices_[0], 5);
  if (Trim(address12) != master12 || StrToIntDef(Trim(unitText), -1) != unit)
    Log(10, "6KS: job names " + Shown(address12) + " unit " + Shown(unitText) + ", master is " + master12 + " unit " +
                IntToStr(unit));
  bool ok = false;
  if (mode == "A") {
    progressKey_ = clientKey;
    BackupDatFile();
    ok = DownloadAllTemplates(master12, unit);
  } else if (mode == "O") {
    progressKey_.clear();
    ok = DownloadOneTemplate(user, master12, unit);
  }
  progressKey_.clear();
  CloseAndPause();
  return ok;
}

void TKX6KSForm::RedirMessage(const std::string& text) {
  AddMemo(text);
  if (!progressKey_.empty() && host_.putDone) host_.putDone(progressKey_ + "_S_" + "2U" + text);
}

}  // namespace px
