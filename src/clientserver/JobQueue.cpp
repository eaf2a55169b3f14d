#include "clientserver/JobQueue.h"

namespace px {

TJobQueue::TJobQueue(ILog& log) : log_(log), ring_(kSlots, "job queue", &log) {}

int TJobQueue::Queue_PutCommand(const std::string& line) {
  try {
    if (ring_.Full()) {
      log_.WriteLog(999, "<QPut> Buffer Overflow !");
      return 1;
    }
    ring_.Put(line);
    return 0;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QPut>") + e.what());
    return 1;
  }
}

int TJobQueue::Queue_GetCommand(std::string& line) {
  try {
    return ring_.Get(line) ? 0 : 1;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QGet>") + e.what());
    return 1;
  }
}

}  // namespace px
