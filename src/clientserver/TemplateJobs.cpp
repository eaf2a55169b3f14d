#include "clientserver/TemplateJobs.h"

#include <memory>

#include "clientserver/DoneQueue.h"
#include "common/StrUtil.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/Settings.h"
#include "templateserver/TemplateServerApi.h"
#include "zk/ZkApi.h"
#include "zk/ZkTerminalTable.h"

namespace px {

TTemplateJobs::TTemplateJobs(ServiceContext& ctx, ILog& log, TDoneQueue& done) : ctx_(ctx), log_(log), done_(done) {}

int TTemplateJobs::Queue_ExecCommand(const std::string& line) {
  try {
    std::string ctrl = Trim(Copy(line, 2, 12));
    std::string unit = Copy(line, 14, 4);
    std::string user = Copy(line, 18, 6);
    std::string code = Copy(line, 24, 2);
    std::string key = Copy(line, 26, 12);
    std::string tag = Copy(line, 38, 11);
    std::string target = Copy(line, 49, 12);
    bool ok;
    if (code == "2U" || code == "2N") {
      ok = ctx_.templates &&
           ctx_.templates->ServerDownloadATemplate(code == "2U" ? "A" : "O", ctrl, key, user, unit, target);
    } else if (code == "8U" || code == "8N") {
      // The terminal work runs off the loop; its notice follows when it ends.
      std::string notice = PadRight(key, 12) + PadRight(tag, 11);
      auto failed = std::make_shared<bool>(false);
      ServerUploadTemplate(code == "8U" ? "A" : "O", ctrl, key, user, unit, target,
                           [this, notice, code, failed](bool result) {
                             *failed = !result;
                             done_.Queue_PutDone(notice + (result ? "Y" : "N") + code);
                           });
      return *failed ? 1 : 0;
    } else {
      return 1;
    }
    // Fixed widths even for a short job line, so the client can read the notice.
    done_.Queue_PutDone(PadRight(key, 12) + PadRight(tag, 11) + (ok ? "Y" : "N") + code);
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QExec>") + e.what());
    return 1;
  }
}

bool TTemplateJobs::ServerUploadTemplate(const std::string& mode, const std::string& ctrl,
                                         const std::string& clientKey, const std::string& user,
                                         const std::string& unit, const std::string& target,
                                         std::function<void(bool)> finished) {
  const ServiceSettings& s = *ctx_.settings;
  auto fail = [&] {
    if (finished) finished(false);
    return false;
  };
  if (!s.ZKEnable) {
    log_.WriteLog(999, "<SvrUploadTemp> ZK not enabled.");
    return fail();
  }
  if (ctrl != s.MasterF8) {
    log_.WriteLog(999, "Server.UploadTemp - " + ctrl + " is not Master Unit (" + s.MasterF8 + ")");
    return fail();
  }
  log_.WriteLog(999, "Server.Download Temp to PC - " + ctrl + " Mode=" + mode + " " + user);
  if (!ctx_.zk || (mode != "A" && mode != "O")) {
    log_.WriteLog(999, "<SvrUploadTemp> ZK module not running.");
    return fail();
  }
  // The master's port is that of its registry row (4370 unless it names one).
  std::string dotted;
  int port = kZkPort;
  if (ctx_.registry) TZkTerminalTable::SplitAddress(ctx_.registry->ZkAddress(ctrl), dotted, port);
  IZKModule* zk = ctx_.zk;
  int machine = static_cast<int>(StrToIntDef(unit, 0));
  auto ok = std::make_shared<bool>(false);
  ILog& log = log_;
  bool started = zk->RunOffLoop(
      [zk, mode, machine, clientKey, target, port, user, ok] {
        zk->SetMachineNumber(machine);
        // Progress notices of a full collection reach the requesting client.
        zk->SetRedirectId(mode == "A" ? clientKey : std::string());
        *ok = mode == "A" ? zk->UploadAll(target, port) : zk->UploadOne(target, port, user);
      },
      [ok, finished, &log] {
        log.WriteLog(0, *ok ? "Upload OK" : "Upload Failed.");
        if (finished) finished(*ok);
      });
  if (!started) {
    log_.WriteLog(999, "<SvrUploadTemp> terminal work queue full.");
    return fail();
  }
  return true;
}

}  // namespace px
