#include "clientserver/CommandRouter.h"

#include <array>
#include <utility>

#include "clientserver/BusyMark.h"
#include "common/ControllerTable.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineApi.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/Settings.h"
#include "zk/ZkApi.h"

namespace px {

namespace {

// Wire code -> the name the engine accepts.
constexpr std::array<std::pair<const char*, const char*>, 39> kCommands{{
    {"VN", "VERSI"}, {"PR", "PULSE"}, {"SC", "DATTM"}, {"ST", "TIMER"}, {"AT", "TZONE"}, {"SH", "HDAY2"},
    {"SD", "ALRTZ"}, {"PZ", "PINTZ"}, {"CC", "CUSTP"}, {"SA", "APBDL"}, {"SP", "DOORP"}, {"LG", "PLENG"},
    {"PC", "PCOD2"}, {"CZ", "CCARD"}, {"TZ", "CTRAN"}, {"RC", "UCARD"}, {"FZ", "FZONE"}, {"LR", "LOCKR"},
    {"UT", "UPDTZ"}, {"PE", "PCOD1"}, {"HD", "HDAY1"}, {"SL", "DAYLG"}, {"PB", "APBMD"}, {"ON", "ONOUT"},
    {"OF", "OFOUT"}, {"OT", "OUTTZ"}, {"AR", "ARMSN"}, {"DS", "DISSN"}, {"AS", "INCSN"}, {"IS", "EXCSN"},
    {"IT", "SENTZ"}, {"LS", "LOTSZ"}, {"CF", "FULLS"}, {"CT", "RSCNT"}, {"RA", "CLAPB"}, {"LH", "RTAPB"},
    {"VP", "INPIN"}, {"AC", "INSCD"}, {"DC", "DELCD"},
}};

bool IsOutputCode(const std::string& c) { return c == "ON" || c == "OF" || c == "OT"; }
bool IsInputCode(const std::string& c) { return c == "AR" || c == "DS" || c == "AS" || c == "IS" || c == "IT"; }

}  // namespace

TCommandRouter::TCommandRouter(ServiceContext& ctx, ILog& log)
    : ctx_(ctx), log_(log), cardFile_(ctx.settings ? ctx.settings->AppDir : std::string()) {}

std::string TCommandRouter::CommandName(const std::string& code) {
  for (const auto& [c, name] : kCommands)
    if (code == c) return name;
  return {};
}

bool TCommandRouter::TH_ExecClientCommand(const std::string& ctrl, const std::string& code,
                                          const std::string& params, std::string& result) {
  execRefused_ = false;
  if (execBusy_) {
    execRefused_ = true;
    log_.WriteLog(10, "ExecClient.Reentrant");
    return false;
  }
  TBusyMark busy(execBusy_);
  try {
    std::string record, type;
    if (ctx_.registry) {
      if (IsOutputCode(code)) record = ctx_.registry->GetIOTagInfo(kOutputPointTable, ctrl);
      else if (IsInputCode(code)) record = ctx_.registry->GetIOTagInfo(kInputPointTable, ctrl);
      else ctx_.registry->GetCtrlAddress(ctrl, type, record);
    }
    // "%4.4d" line number, then up to 12 characters of address key.
    int n = static_cast<int>(StrToIntDef(Copy(record, 1, 4), 0));
    int bus = BusOfPoint(n), unit = UnitOfPoint(n);
    std::string address12 = Trim(Copy(record, 5, 12));
    std::string dotted = address12.empty() ? std::string() : KeyToIP(address12);

    if (IsTerminalType(type)) return ExecZk(ctrl, type, address12, unit, code, params, result);
    if (record.empty()) return false;

    std::string name = CommandName(code);
    if (code == "RC") cardFile_.Delete();  // the upload writes it afresh
    return RunCommCommand(name, bus, unit, dotted, params, result);
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<TH.Exec>") + e.what());
    return false;
  }
}

bool TCommandRouter::ExecZk(const std::string& ctrl, const std::string& type, const std::string& address12,
                            int unit, const std::string& code, const std::string& params, std::string& result) {
  std::string kind, user, param;
  if (code == "SC") {
    kind = "DTM";
  } else if (code == "AT") {
    kind = "TMZ";
  } else if (code == "AC") {
    kind = "INS";
    user = Copy(params, 1, 6);
    param = Copy(params, 19, 2);
  } else if (code == "DC") {
    kind = "DEL";
    user = Copy(params, 1, 6);
  } else {
    return false;
  }
  if (!ctx_.zk) return false;
  // The terminal's port travels with the command (the registry's full address).
  std::string address = ctx_.registry ? ctx_.registry->ZkAddress(ctrl) : std::string();
  if (address.empty()) address = address12;
  return ctx_.zk->SendQPut(ctrl, address, result, type, param, user, kind, IntToStr(unit));
}

bool TCommandRouter::RunCommCommand(const std::string& name, int bus, int unit, const std::string& ip,
                                    const std::string& params, std::string& reply, bool forClient) {
  try {
    if (!ctx_.engine) return false;
    std::string id;
    if (ctx_.engine->SendCommand(name, bus, unit, id, params, ip) != 0) return false;
    reply = id;
    if (forClient) lastCommandID_ = id;
    if (name == "UCARD") lastCardUploadID_ = id;
    return true;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<TH.RunCC>") + e.what());
    return false;
  }
}

}  // namespace px
