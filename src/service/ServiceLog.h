#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"

namespace px {

// The service's monthly text log "TRS_yymm.log" in the program folder. A
// line is written when its level is below the "Debug" setting or is 999;
// level-21 lines only when "Debug" is exactly 21. A
// level-999 line containing "READ FAILURE" starts a reconnect of the main
// database when the database layer has reported a lost connection. Safe to
// call from any thread.
class ServiceLog : public ILog {
public:
  static constexpr int kTraceLevel = 21;
  explicit ServiceLog(std::shared_ptr<Clock> clock);

  void SetAppDir(const std::string& dir);  // ends with "/"
  void SetDebug(int level) { debug_ = level; }
  int Debug() const { return debug_; }
  void SetMirrorToStderr(bool on) { mirror_ = on; }
  // "TRS_" + now as "yymm" + ".log".
  void RecomputeFileName();
  std::string LogFileName() const;
  std::string LogFilePath() const;

  // Called for a level-999 "READ FAILURE" line after "Reconnect SQL.DB" is
  // written; it reconnects and reports whether the database is open again.
  std::function<void()> OnReadFailure;
  // The database layer lost a connection (or its retry is due): the next
  // level-999 "READ FAILURE" line starts the reconnect.
  void NoteConnectionLost() { connectionLost_ = true; }

  void WriteLog(int level, const std::string& text) override;
  void AppendLogLine(const std::string& text);

private:
  std::shared_ptr<Clock> clock_;
  mutable std::mutex m_;
  std::string appDir_;
  std::string fileName_;
  std::atomic<int> debug_{0};
  std::atomic<bool> mirror_{false};
  std::atomic<bool> inReconnect_{false};
  std::atomic<bool> connectionLost_{false};
};

}  // namespace px
