#include "clientserver/TemplateJobs.h"

#include "clientserver/DoneQueue.h"
#include "common/StrUtil.h"
#include "service/ServiceContext.h"
#include "service/Settings.h"
#include "templateserver/TemplateServerApi.h"
#include "zk/ZkApi.h"

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
      ok = ServerUploadTemplate(code == "8U" ? "A" : "O", ctrl, key, user, unit, target);
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
                                         const std::string& unit, const std::string& target) {
  const ServiceSettings& s = *ctx_.settings;
  if (!s.ZKEnable) {
    log_.WriteLog(999, "<SvrUploadTemp> ZK not enabled.");
    return false;
  }
  if (ctrl != s.MasterF8) {
    log_.WriteLog(999, "Server.UploadTemp - " + ctrl + " is not Master Unit (" + s.MasterF8 + ")");
    return false;
  }
  log_.WriteLog(999, "Server.Download Temp to PC - " + ctrl + " Mode=" + mode + " " + user);
  if (!ctx_.zk) {
    log_.WriteLog(999, "<SvrUploadTemp> ZK module not running.");
    return false;
  }
  ctx_.zk->SetMachineNumber(static_cast<int>(StrToInt(unit)));
  bool ok = false;
  if (mode == "A") {
    // Progress notices of the collection reach this client.
    ctx_.zk->SetRedirectId(clientKey);
    ok = ctx_.zk->UploadAll(target, kZkPort);
  } else if (mode == "O") {
    ctx_.zk->SetRedirectId("");
    ok = ctx_.zk->UploadOne(target, kZkPort, user);
  }
  log_.WriteLog(0, ok ? "Upload OK" : "Upload Failed.");
  return ok;
}

}  // namespace px
