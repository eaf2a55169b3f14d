#include "service/ServiceLog.h"

#include <cstdio>

#include "common/StrUtil.h"

namespace px {

ServiceLog::ServiceLog(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) { RecomputeFileName(); }

void ServiceLog::SetAppDir(const std::string& dir) {
  std::lock_guard<std::mutex> g(m_);
  appDir_ = dir;
}

void ServiceLog::RecomputeFileName() {
  std::string name = "TRS_" + FormatDateTime("yymm", clock_->LocalNow()) + ".log";
  std::lock_guard<std::mutex> g(m_);
  fileName_ = name;
}

std::string ServiceLog::LogFileName() const {
  std::lock_guard<std::mutex> g(m_);
  return fileName_;
}

std::string ServiceLog::LogFilePath() const {
  std::lock_guard<std::mutex> g(m_);
  return appDir_ + fileName_;
}

namespace {
// One message is one line: a CR or LF inside it (client text, a database
// message) is written escaped, so no text can forge a line of its own.
std::string OneLine(const std::string& text) {
  if (text.find_first_of("\r\n") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}
}  // namespace

void ServiceLog::AppendLogLine(const std::string& text) {
  std::string line = FormatDateTime("dd/mm/yyyy hh:mm:ss", clock_->LocalNow()) + " " + OneLine(text) + "\n";
  std::lock_guard<std::mutex> g(m_);
  // Opened, written and closed for every line; a failure loses that line only.
  if (FILE* f = std::fopen((appDir_ + fileName_).c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
  if (mirror_) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}

void ServiceLog::WriteLog(int level, const std::string& text) {
  try {
    // Level 21 is the IP and terminal trace: only "Debug" exactly 21 asks for
    // it, so a site raising the level for more detail does not get the trace.
    const int debug = debug_;
    if (level == 999 || (level == kTraceLevel ? debug == kTraceLevel : level < debug)) AppendLogLine(text);
    // The text alone never starts a reconnect: many lines carry client
    // text. It takes a lost connection reported by the database layer.
    if (level == 999 && connectionLost_ && Contains(UpperCase(text), "READ FAILURE")) {
      // A failing reconnect logs its own error; it must not start another.
      bool expected = false;
      if (!inReconnect_.compare_exchange_strong(expected, true)) return;
      connectionLost_ = false;
      AppendLogLine("Reconnect SQL.DB");
      try {
        if (OnReadFailure) OnReadFailure();
      } catch (...) {
      }
      inReconnect_ = false;
    }
  } catch (const std::exception& e) {
    try {
      AppendLogLine(std::string("<DText>") + e.what());
    } catch (...) {
    }
  }
}

}  // namespace px
