#include "service/TransSpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/FileIo.h"
#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

namespace {

constexpr size_t kSlotSize = 256;
// A file of mostly stored lines is rewritten once this many have piled up.
constexpr size_t kCompactAfter = 4096;

std::uint32_t Fnv1a(const std::string& s) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : s) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

}  // namespace

TransSpool::TransSpool(std::string path, ILog& log) : path_(std::move(path)), log_(log) {
  streams_["GDB1"];
  streams_["ARQ1"];
  Load();
}

TransSpool::~TransSpool() {
  if (fd_ >= 0) ::close(fd_);
  if (posFd_ >= 0) ::close(posFd_);
}

size_t TransSpool::Size() const {
  size_t n = 0;
  for (const auto& [alias, s] : streams_) n += s.waiting.size();
  return n;
}

size_t TransSpool::Size(const std::string& alias) const {
  auto it = streams_.find(alias);
  return it == streams_.end() ? 0 : it->second.waiting.size();
}

SpoolEntry* TransSpool::At(const std::string& alias, size_t i) {
  auto it = streams_.find(alias);
  if (it == streams_.end() || i >= it->second.waiting.size()) return nullptr;
  return &it->second.waiting[i];
}

namespace {
// Source names are short words of the service's own ("B1", "IP3", "SS",
// "ZK" and an address key): anything else is not written.
bool PlainSource(const std::string& s) {
  if (s.empty() || s.size() > 40) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-'))
      return false;
  return true;
}

bool ParseMark(const std::string& s, std::uint64_t& seq, std::string& source) {
  const size_t slash = s.find('/');
  if (slash == std::string::npos || !ParseU64(s.substr(0, slash), seq) || !PlainSource(s.substr(slash + 1)))
    return false;
  source = s.substr(slash + 1);
  return true;
}
}  // namespace

// The first field: the id, "?" when the row may be stored already (with the
// witness "seq/source" of its transaction when there is one), then "@" and
// "seq/source" of the journal line it came from. Files of earlier versions
// have only the id and the "?".
std::string TransSpool::EncodeLine(const SpoolEntry& e) {
  std::string head = std::to_string(e.id);
  if (e.mayExist) {
    head += "?";
    if (e.witnessSeq && PlainSource(e.witnessSource)) head += std::to_string(e.witnessSeq) + "/" + e.witnessSource;
  }
  if (e.seq && PlainSource(e.source)) head += "@" + std::to_string(e.seq) + "/" + e.source;
  std::string line = head + "\t" + EscapeField(e.alias) + "\t" + EscapeField(e.kind);
  for (const auto& f : e.fields) line += "\t" + EscapeField(f);
  return line;
}

bool TransSpool::DecodeLine(const std::string& line, SpoolEntry& e) {
  auto parts = SplitTabs(line);
  std::string head = parts[0];
  e.seq = e.witnessSeq = 0;
  e.source.clear();
  e.witnessSource.clear();
  if (size_t at = head.find('@'); at != std::string::npos) {
    if (!ParseMark(head.substr(at + 1), e.seq, e.source)) return false;
    head.resize(at);
  }
  const size_t q = head.find('?');
  e.mayExist = q != std::string::npos;
  if (e.mayExist) {
    if (q + 1 < head.size() && !ParseMark(head.substr(q + 1), e.witnessSeq, e.witnessSource)) return false;
    head.resize(q);
  }
  if (parts.size() < 3 || !ParseU64(head, e.id) || parts[1].empty() || parts[2].empty()) return false;
  e.alias = UnescapeField(parts[1]);
  e.kind = UnescapeField(parts[2]);
  e.fields.clear();
  for (size_t i = 3; i < parts.size(); ++i) e.fields.push_back(UnescapeField(parts[i]));
  return true;
}

void TransSpool::Fail(const std::string& what) {
  log_.WriteLog(999, "<Spool> " + what + " " + path_ + ": " + std::strerror(errno));
}

void TransSpool::LoadProgress() {
  std::string text;
  if (!ReadWhole(PosPath(), text)) return;
  std::uint64_t bestSeq = 0;
  std::map<std::string, std::uint64_t> best;
  for (size_t slot = 0; slot + kSlotSize <= text.size(); slot += kSlotSize) {
    std::string s = TrimRight(text.substr(slot, kSlotSize));
    size_t hash = s.rfind('#');
    if (hash == std::string::npos) continue;
    std::string body = s.substr(0, hash);
    if (Format("%08x", Fnv1a(body)) != s.substr(hash + 1)) continue;  // torn or foreign
    std::map<std::string, std::uint64_t> values;
    std::string item;
    for (char c : body) {
      if (c != ';') {
        item += c;
        continue;
      }
      size_t eq = item.find('=');
      std::uint64_t v = 0;
      if (eq != std::string::npos && ParseU64(item.substr(eq + 1), v)) values[item.substr(0, eq)] = v;
      item.clear();
    }
    if (!values.count("seq") || values["seq"] < bestSeq) continue;
    bestSeq = values["seq"];
    values.erase("seq");
    best = values;
  }
  progressSeq_ = bestSeq;
  for (const auto& [alias, done] : best) streams_[alias].done = done;
}

void TransSpool::Load() {
  LoadProgress();
  for (const auto& [alias, s] : streams_) nextId_ = std::max(nextId_, s.done + 1);
  std::string text;
  if (!ReadWhole(path_, text)) return;
  size_t complete = text.rfind('\n');
  complete = complete == std::string::npos ? 0 : complete + 1;
  if (complete < text.size()) {
    // A write cut short by a crash: that entry was never reported as kept.
    log_.WriteLog(999, "Spool " + path_ + ": incomplete last line dropped");
    if (::truncate(path_.c_str(), static_cast<off_t>(complete)) != 0) Fail("cannot truncate");
  }
  size_t bad = 0, start = 0;
  while (start < complete) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end + 1;
    SpoolEntry e;
    if (!DecodeLine(line, e)) {
      ++bad;
      ++staleLines_;
      continue;
    }
    nextId_ = std::max(nextId_, e.id + 1);
    Stream& s = streams_[e.alias];
    if (e.id <= s.done) {
      ++staleLines_;
      continue;
    }
    s.waiting.push_back(std::move(e));
  }
  if (bad) log_.WriteLog(999, "Spool " + path_ + ": " + IntToStr(static_cast<long long>(bad)) + " unreadable lines skipped");
  // The previous run may have stored the oldest row of each database and
  // stopped before recording it: that row is looked for first (by its mark,
  // which went into the database with it, when it has one).
  for (auto& [alias, s] : streams_) {
    if (s.waiting.empty()) continue;
    SpoolEntry& front = s.waiting.front();
    if (!front.mayExist && front.seq) {
      front.witnessSeq = front.seq;
      front.witnessSource = front.source;
    }
    front.mayExist = true;
  }
  if (size_t n = Size())
    log_.WriteLog(999, "Spool " + path_ + " holds " + IntToStr(static_cast<long long>(n)) +
                           " rows from an earlier run; they are stored once their database answers");
  else if (staleLines_)
    Compact();
}

bool TransSpool::OpenForAppend() {
  if (fd_ >= 0) return true;
  bool existed = ::access(path_.c_str(), F_OK) == 0;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    Fail("cannot open");
    return false;
  }
  if (!existed) SyncDirOf(path_);
  return true;
}

bool TransSpool::Append(SpoolEntry entry, bool sync) {
  entry.id = nextId_++;
  std::string line = EncodeLine(entry) + "\n";
  streams_[entry.alias].waiting.push_back(std::move(entry));
  // Entries not on disk yet go out with the whole file, in order.
  if (!healthy_) return Retry();
  bool ok = OpenForAppend();
  if (ok) {
    struct stat st {};
    off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
    ok = WriteAll(fd_, line) && (!sync || ::fdatasync(fd_) == 0);
    if (!ok) {
      Fail("cannot write");
      // A partial line would swallow the next one: cut it off again.
      if (before >= 0 && ::ftruncate(fd_, before) != 0) Fail("cannot truncate");
    }
  }
  healthy_ = ok;
  return ok;
}

bool TransSpool::Sync() {
  if (!healthy_) return Retry();
  if (fd_ >= 0 && ::fdatasync(fd_) != 0) {
    Fail("cannot write");
    healthy_ = false;
  }
  return healthy_;
}

bool TransSpool::Retry() {
  healthy_ = Compact();
  return healthy_;
}

void TransSpool::WriteProgress() {
  ++progressSeq_;
  std::string body = "seq=" + std::to_string(progressSeq_) + ";";
  for (const auto& [alias, s] : streams_) body += alias + "=" + std::to_string(s.done) + ";";
  std::string slot = body + "#" + Format("%08x", Fnv1a(body));
  if (slot.size() >= kSlotSize) {
    log_.WriteLog(999, "<Spool> progress record too long for " + PosPath());
    return;
  }
  slot.resize(kSlotSize - 1, ' ');
  slot += '\n';
  if (posFd_ < 0) {
    bool existed = ::access(PosPath().c_str(), F_OK) == 0;
    posFd_ = ::open(PosPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (posFd_ < 0) {
      Fail("cannot open progress of");
      return;
    }
    if (!existed) SyncDirOf(PosPath());
  }
  off_t at = static_cast<off_t>((progressSeq_ % 2) * kSlotSize);
  if (::pwrite(posFd_, slot.data(), slot.size(), at) != static_cast<ssize_t>(slot.size()) || ::fdatasync(posFd_) != 0)
    Fail("cannot write progress of");
}

void TransSpool::Done(const std::string& alias, size_t n) {
  Stream& s = streams_[alias];
  for (size_t i = 0; i < n && !s.waiting.empty(); ++i) {
    s.done = s.waiting.front().id;
    s.waiting.pop_front();
    ++staleLines_;
  }
  WriteProgress();
  if (Empty() || (staleLines_ >= kCompactAfter && staleLines_ >= Size())) Compact();
}

bool TransSpool::Compact() {
  if (Empty()) {
    // Nothing waits: the ids go on from the recorded progress.
    if (!OpenForAppend()) return true;
    if (::ftruncate(fd_, 0) != 0 || ::fdatasync(fd_) != 0) {
      Fail("cannot empty");
      return true;
    }
    staleLines_ = 0;
    return true;
  }
  std::vector<const SpoolEntry*> all;
  for (const auto& [alias, s] : streams_)
    for (const auto& e : s.waiting) all.push_back(&e);
  std::sort(all.begin(), all.end(), [](auto* a, auto* b) { return a->id < b->id; });
  std::string text;
  for (auto* e : all) text += EncodeLine(*e) + "\n";
  if (!ReplaceFile(path_, text, ".tmp", true)) {
    Fail("cannot compact");
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  staleLines_ = 0;
  OpenForAppend();
  return true;
}

void TransSpool::SaveBad(const SpoolEntry& entry, const std::string& statement) {
  std::string line = entry.alias + "\t" + std::to_string(entry.id) + "\t" + EscapeField(statement) + "\n";
  int fd = ::open(BadPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || !WriteAll(fd, line) || ::fdatasync(fd) != 0) Fail("cannot keep refused row beside");
  if (fd >= 0) ::close(fd);
}

}  // namespace px
