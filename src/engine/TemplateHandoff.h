#pragma once
#include <string>

#include "common/Log.h"
#include "templateserver/TemplateServerApi.h"

namespace px {

// The template step of a card command to a fingerprint controller: before an
// AC reaches the controller its user's templates go onto the controller's
// template device, and before a DC they are removed from it.
class TTemplateHandoff {
public:
  TTemplateHandoff(ILog& log, ITemplateServer& templates) : log_(log), templates_(templates) {}
  // `frame` is the AC or DC frame as it will be sent, `unit` its unit and
  // `ip` the controller's dotted address. True when the command may go on
  // to the controller.
  bool HandleKX6KSTemplates(const std::string& frame, int unit, const std::string& ip);

private:
  ILog& log_;
  ITemplateServer& templates_;
};

}  // namespace px
