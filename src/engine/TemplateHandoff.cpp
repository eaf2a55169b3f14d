#include "engine/TemplateHandoff.h"

#include "common/IpKey.h"
#include "common/StrUtil.h"

namespace px {

bool TTemplateHandoff::HandleKX6KSTemplates(const std::string& frame, int unit, const std::string& ip) {
  const bool add = Copy(frame, 2, 2) == "AC";
  // The user number is the six digits after the command code.
  const std::string user = Copy(frame, 4, 6);
  bool digits = user.size() == 6;
  for (char c : user) digits = digits && c >= '0' && c <= '9';
  TemplateHandOff result = TemplateHandOff::Failed;
  if (!digits) {
    log_.WriteLog(999, "<KX6KS> card command without a user number: not sent");
  } else {
    try {
      result = templates_.HandOffCardCommand(add, user, IPToKey(ip), unit);
    } catch (const std::exception& e) {
      log_.WriteLog(999, std::string("<KX6KS> ") + e.what());
    }
  }
  // The master device's own controller: the template module said why.
  if (result == TemplateHandOff::Skipped) return true;
  const bool ok = result == TemplateHandOff::Done;
  log_.WriteLog(0, std::string("Template Add/Del: ") + (add ? "A" : "D") + " " + (digits ? user : "?") + " - " +
                       (ok ? "OK" : "XX"));
  return ok;
}

}  // namespace px
