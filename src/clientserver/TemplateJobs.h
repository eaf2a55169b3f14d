#pragma once
#include <functional>
#include <string>

#include "common/Log.h"

namespace px {

struct ServiceContext;
class TDoneQueue;

// Runs one queued template job (an EOT request as received) and leaves its
// result for the requesting client in the done queue.
class TTemplateJobs {
public:
  static constexpr int kZkPort = 4370;
  TTemplateJobs(ServiceContext& ctx, ILog& log, TDoneQueue& done);

  // 0 when the job succeeded, else 1; an unknown job code leaves no notice.
  int Queue_ExecCommand(const std::string& line);
  // Template collection from the ZK master terminal: mode "A" (all users,
  // with progress notices for the client) or "O" (one user). It runs on the
  // terminal worker; `finished` gets the outcome on the loop (at once when
  // the job is refused). False when it was refused.
  bool ServerUploadTemplate(const std::string& mode, const std::string& ctrl, const std::string& clientKey,
                            const std::string& user, const std::string& unit, const std::string& target,
                            std::function<void(bool)> finished = {});

private:
  ServiceContext& ctx_;
  ILog& log_;
  TDoneQueue& done_;
};

}  // namespace px
