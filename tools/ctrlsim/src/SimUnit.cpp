#include "ctrlsim/SimUnit.h"

#include <algorithm>

namespace px::sim {

namespace {
// Polls after which the host evidently has the last block of records: any
// poll but a repeat request means the previous answer arrived.
bool ConfirmsLastBlock(const std::string& code) {
  return code == "QA" || code == "RI" || code == "RS" || code == "VN";
}
}  // namespace

SimUnit::SimUnit(int number) : number_(number) {}

std::string SimUnit::Fit(const std::string& s, std::size_t width) {
  std::string out = s.substr(0, std::min(s.size(), width));
  out.resize(width, ' ');
  return out;
}

std::string SimUnit::Stamp(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%d%m%H%M", &tm);
  return buf;
}

void SimUnit::SetEnabled(bool on) { std::lock_guard l(m_); enabled_ = on; }
bool SimUnit::Enabled() const { std::lock_guard l(m_); return enabled_; }

void SimUnit::SetModel(const std::string& model, const std::string& version) {
  std::lock_guard l(m_);
  model_ = model;
  version_ = version;
}

std::string SimUnit::Model() const { std::lock_guard l(m_); return model_; }

void SimUnit::SetStatusA(const std::string& two) { std::lock_guard l(m_); statusA_ = Fit(two, 2); }
void SimUnit::SetStatusB(const std::string& six) { std::lock_guard l(m_); statusB_ = Fit(six, 6); }

void SimUnit::SetMaxRecordsPerReply(int n) { std::lock_guard l(m_); maxRecords_ = std::max(0, n); }

void SimUnit::SetCommandReply(const std::string& code, const std::string& data) {
  std::lock_guard l(m_);
  commandReplies_[code] = data;
}

void SimUnit::QueueRecord(const std::string& record) {
  std::lock_guard l(m_);
  queue_.push_back(Fit(record, 15));
}

void SimUnit::QueueTransaction(const std::string& card, char code, std::time_t when) {
  QueueRecord(Stamp(when) + Fit(card, 6) + code);
}

void SimUnit::QueueStatusRecord(std::time_t when) {
  std::string rec;
  {
    std::lock_guard l(m_);
    rec = Stamp(when) + statusA_ + statusB_.substr(0, 4) + "Z";
  }
  QueueRecord(rec);
}

int SimUnit::QueuedRecords() const { std::lock_guard l(m_); return static_cast<int>(queue_.size()); }
int SimUnit::UnconfirmedRecords() const { std::lock_guard l(m_); return static_cast<int>(lastSent_.size()); }
int SimUnit::ConfirmedRecords() const { std::lock_guard l(m_); return confirmed_; }
std::vector<std::string> SimUnit::HandedOver() const { std::lock_guard l(m_); return handedOver_; }

void SimUnit::SetCards(const std::vector<std::string>& records) {
  std::lock_guard l(m_);
  cards_.clear();
  for (const auto& r : records) cards_.push_back(Fit(r, 20));
}

std::vector<std::string> SimUnit::Cards() const { std::lock_guard l(m_); return cards_; }

void SimUnit::SetFaults(const Faults& f) { std::lock_guard l(m_); faults_ = f; }
Faults SimUnit::GetFaults() const { std::lock_guard l(m_); return faults_; }
void SimUnit::SetSilent(bool on) { std::lock_guard l(m_); faults_.silent = on; }
void SimUnit::SetDelay(int ms) { std::lock_guard l(m_); faults_.delayMs = std::max(0, ms); }

void SimUnit::SetNuls(int count, int gapMs) {
  std::lock_guard l(m_);
  faults_.nulCount = std::max(0, count);
  faults_.nulGapMs = std::max(0, gapMs);
}

void SimUnit::SetBadChecksum(int nextReplies) { std::lock_guard l(m_); faults_.badChecksumNext = std::max(0, nextReplies); }
void SimUnit::SetGarbage(const std::string& bytes) { std::lock_guard l(m_); faults_.garbage = bytes; }
void SimUnit::SetCardCut(int afterRecords) { std::lock_guard l(m_); faults_.cardCutAfter = afterRecords; }

void SimUnit::SetPollOverride(const std::string& code, int nextPolls) {
  std::lock_guard l(m_);
  faults_.pollOverrideCode = code;
  faults_.pollOverrideNext = std::max(0, nextPolls);
}

void SimUnit::SetCloseMidFrame(int nextReplies) { std::lock_guard l(m_); faults_.closeMidFrameNext = std::max(0, nextReplies); }

void SimUnit::SetPieces(int pieces, int gapMs) {
  std::lock_guard l(m_);
  faults_.pieces = std::max(1, pieces);
  faults_.pieceGapMs = std::max(0, gapMs);
}

int SimUnit::Received(const std::string& code) const {
  std::lock_guard l(m_);
  auto it = received_.find(code);
  return it == received_.end() ? 0 : it->second;
}

int SimUnit::TotalReceived() const { std::lock_guard l(m_); return total_; }
int SimUnit::BadRequests() const { std::lock_guard l(m_); return badRequests_; }
int SimUnit::RepliesSent() const { std::lock_guard l(m_); return replies_; }

std::string SimUnit::LastParams(const std::string& code) const {
  std::lock_guard l(m_);
  auto it = lastParams_.find(code);
  return it == lastParams_.end() ? std::string() : it->second;
}

std::vector<std::string> SimUnit::ReceivedFrames() const {
  std::lock_guard l(m_);
  return {frames_.begin(), frames_.end()};
}

void SimUnit::ResetCounters() {
  std::lock_guard l(m_);
  received_.clear();
  lastParams_.clear();
  frames_.clear();
  total_ = badRequests_ = replies_ = 0;
}

std::string SimUnit::TakeRecordsLocked() {
  lastSent_.clear();
  while (!queue_.empty() && static_cast<int>(lastSent_.size()) < maxRecords_) {
    lastSent_.push_back(queue_.front());
    queue_.pop_front();
  }
  return RecordsTextLocked();
}

std::string SimUnit::RecordsTextLocked() const {
  std::string out;
  for (const auto& r : lastSent_) out += r;
  return out;
}

std::string SimUnit::CardStreamLocked() {
  std::string out;
  out += AddressByte(number_);
  out += "RC";
  const bool cut = faults_.cardCutAfter >= 0;
  const std::size_t n = cut ? std::min(cards_.size(), static_cast<std::size_t>(faults_.cardCutAfter))
                            : cards_.size();
  for (std::size_t i = 0; i < n; ++i) out += cards_[i];
  if (!cut) out += kCR;
  return out;
}

ReplyPlan SimUnit::Answer(const Request& req) {
  std::lock_guard l(m_);
  ++received_[req.code];
  ++total_;
  lastParams_[req.code] = req.params;
  frames_.push_back(req.raw);
  if (frames_.size() > kFrameLogLimit) frames_.pop_front();

  ReplyPlan plan;
  if (!req.checksumOk) {
    ++badRequests_;
    return plan;
  }
  if (!enabled_ || faults_.silent) return plan;
  return ReplyLocked(req);
}

ReplyPlan SimUnit::Push() {
  std::lock_guard l(m_);
  if (!enabled_ || faults_.silent || queue_.empty()) return {};
  Request qa;
  qa.unit = number_;
  qa.code = "QA";
  return ReplyLocked(qa);
}

ReplyPlan SimUnit::ReplyLocked(const Request& req) {
  ReplyPlan plan;
  if (ConfirmsLastBlock(req.code)) {
    confirmed_ += static_cast<int>(lastSent_.size());
    handedOver_.insert(handedOver_.end(), lastSent_.begin(), lastSent_.end());
    lastSent_.clear();
  }

  std::string frame;
  if (req.code == "RC") {
    frame = CardStreamLocked();
  } else {
    std::string code = req.code;
    std::string data;
    if (req.code == "VN") {
      data = model_ + "V" + version_;
    } else if (req.code == "QA") {
      if (faults_.pollOverrideNext > 0) {
        --faults_.pollOverrideNext;
        code = faults_.pollOverrideCode;
        if (code != "AD") data = TakeRecordsLocked();
      } else {
        data = statusA_ + TakeRecordsLocked();
      }
    } else if (req.code == "QR") {
      data = statusA_ + RecordsTextLocked();
    } else if (req.code == "RI") {
      data = statusB_;
    } else if (req.code == "RS") {
      // acknowledged with no data
    } else {
      auto it = commandReplies_.find(req.code);
      if (it != commandReplies_.end()) data = it->second;
    }
    frame = BuildReply(number_, code, data);
    if (faults_.badChecksumNext > 0) {
      --faults_.badChecksumNext;
      // One more than the right sum: wrong, but still two hex digits.
      std::string wrong = Checksum(data + '\x01');
      frame.replace(frame.size() - 3, 2, wrong);
    }
  }

  plan.answer = true;
  plan.delayMs = faults_.delayMs;
  plan.nulCount = faults_.nulCount;
  plan.nulGapMs = faults_.nulGapMs;
  plan.bytes = faults_.garbage + frame;
  plan.pieces = faults_.pieces;
  plan.pieceGapMs = faults_.pieceGapMs;
  if (faults_.closeMidFrameNext > 0) {
    --faults_.closeMidFrameNext;
    plan.closeAfter = true;
    plan.bytes.resize(faults_.garbage.size() + frame.size() / 2);
  }
  ++replies_;
  return plan;
}

}  // namespace px::sim
