#include "common/IntakeJournal.h"

#include "common/FileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace px {

namespace {

std::uint32_t Crc32(const std::string& s) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char ch : s) c = table[(c ^ ch) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::int64_t Ms(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

// ---------------------------------------------------------------- entries

std::string TIntakeJournal::Encode(const Entry& e) {
  std::string t = std::to_string(e.first) + '\t' + e.kind + '\t' + std::to_string(e.last) + '\t' +
                  std::to_string(e.timeMs) + '\t' + EscapeField(e.source) + '\t' + EscapeField(e.unitKey) + '\t' +
                  (e.clear ? "1" : "0") + '\t' + std::to_string(e.lines.size() + (e.kind == 'N' ? 1 : 0));
  if (e.kind == 'N') t += '\t' + EscapeField(e.note);
  for (const auto& l : e.lines) t += '\t' + EscapeField(l);
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08" PRIx32, Crc32(t));
  return t + '\t' + crc + '\n';
}

bool TIntakeJournal::Decode(const std::string& text, Entry& e) {
  const size_t tab = text.rfind('\t');
  if (tab == std::string::npos) return false;
  const std::string body = text.substr(0, tab);
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08" PRIx32, Crc32(body));
  if (text.compare(tab + 1, std::string::npos, crc) != 0) return false;
  const std::vector<std::string> f = SplitTabs(body);
  std::uint64_t first = 0, last = 0, time = 0, n = 0;
  if (f.size() < 8 || f[1].size() != 1 || !ParseU64(f[0], first) || !ParseU64(f[2], last) ||
      !ParseU64(f[3], time) || !ParseU64(f[7], n) || f.size() != 8 + n || last < first)
    return false;
  e.kind = f[1][0];
  if (std::string("LNOoS").find(e.kind) == std::string::npos) return false;
  e.first = first;
  e.last = last;
  e.timeMs = static_cast<std::int64_t>(time);
  e.source = UnescapeField(f[4]);
  e.unitKey = UnescapeField(f[5]);
  e.clear = f[6] == "1";
  e.lines.clear();
  e.note.clear();
  size_t i = 8;
  if (e.kind == 'N') {
    if (f.size() < 9) return false;
    e.note = UnescapeField(f[i++]);
  }
  for (; i < f.size(); ++i) e.lines.push_back(UnescapeField(f[i]));
  if ((e.kind == 'L' || e.kind == 'N') && !e.lines.empty() && e.last - e.first + 1 != e.lines.size()) return false;
  return true;
}

// ---------------------------------------------------------------- start

TIntakeJournal::TIntakeJournal(Options options, ILog& log) : opt_(std::move(options)), log_(log) {
  if (!opt_.dir.empty() && opt_.dir.back() == '/') opt_.dir.pop_back();
  if (!opt_.clock) opt_.clock = SystemClock::Instance();
  Load();
  // Each run starts a segment of its own; a folder that cannot be written
  // holds the intake from the start.
  if (!OpenCurrent(next_, false)) {
    failing_ = true;
    accepting_ = false;
    retryAt_ = std::chrono::steady_clock::now() + opt_.retryAfter;
    log_.WriteLog(999, "Intake journal " + opt_.dir + " cannot be written: controllers and terminals are asked for no records");
  }
  writer_ = std::thread([this] { WriterMain(); });
}

TIntakeJournal::~TIntakeJournal() {
  {
    std::lock_guard<std::mutex> g(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (fd_ >= 0) ::close(fd_);
}

void TIntakeJournal::WriteFail(const std::string& what) {
  // Once a failure is known the retries stay quiet: the level-999 line that
  // holds the intake has said it, and the one that resumes it will.
  if (!failing_) Fail(what);
}

void TIntakeJournal::Fail(const std::string& what) {
  log_.WriteLog(999, "<Journal> " + what + " " + opt_.dir + ": " + std::strerror(errno));
}

void TIntakeJournal::Load() {
  if (::mkdir(opt_.dir.c_str(), 0750) != 0 && errno != EEXIST) Fail("cannot create");
  std::vector<Segment> found;
  if (DIR* d = ::opendir(opt_.dir.c_str())) {
    while (dirent* de = ::readdir(d)) {
      std::string name = de->d_name;
      std::uint64_t first = 0;
      if (name.size() != 24 || name.compare(20, 4, ".jnl") != 0 || !ParseU64(name.substr(0, 20), first)) continue;
      found.push_back(Segment{first, opt_.dir + "/" + name, 0, 0});
    }
    ::closedir(d);
  }
  std::sort(found.begin(), found.end(), [](const Segment& a, const Segment& b) { return a.first < b.first; });
  std::map<std::string, std::string> owed;
  for (size_t i = 0; i < found.size(); ++i) {
    LoadSegment(found[i], owed);
    next_ = std::max(next_, found[i].first);
    bytes_ += found[i].bytes;
    segments_.push_back(found[i]);
  }
  owed_ = durableOwed_ = owed;
  std::sort(recovered_.begin(), recovered_.end(), [](const Line& a, const Line& b) { return a.seq < b.seq; });
  if (!recovered_.empty() || !owed_.empty())
    log_.WriteLog(999, "Intake journal " + opt_.dir + ": " + std::to_string(recovered_.size()) + " records and " +
                           std::to_string(owed_.size()) + " owed repeats read back");
}

void TIntakeJournal::LoadSegment(Segment& seg, std::map<std::string, std::string>& owed) {
  std::string text;
  if (!ReadWhole(seg.path, text)) {
    Fail("cannot read");
    return;
  }
  size_t complete = text.rfind('\n');
  complete = complete == std::string::npos ? 0 : complete + 1;
  if (complete < text.size()) {
    // A write cut short: that entry was never reported durable.
    log_.WriteLog(999, "Intake journal " + seg.path + ": incomplete last entry dropped");
    if (::truncate(seg.path.c_str(), static_cast<off_t>(complete)) != 0) Fail("cannot truncate");
  }
  seg.bytes = complete;
  size_t bad = 0, start = 0;
  while (start < complete) {
    const size_t end = text.find('\n', start);
    Entry e;
    if (!Decode(text.substr(start, end - start), e)) {
      ++bad;
      start = end + 1;
      continue;
    }
    start = end + 1;
    next_ = std::max(next_, e.last + 1);
    switch (e.kind) {
      case 'S':
        owed.clear();
        for (const auto& k : e.lines) {
          const size_t sep = k.find('\x1f');
          owed[k.substr(0, sep)] = sep == std::string::npos ? std::string() : k.substr(sep + 1);
        }
        break;
      case 'O':
        owed[e.unitKey];
        break;
      case 'o':
        owed.erase(e.unitKey);
        break;
      default:
        if (e.clear) owed.erase(e.unitKey);
        if (e.kind == 'N') owed[e.unitKey] = e.note;
        if (e.lines.empty()) break;
        seg.maxSeq = std::max(seg.maxSeq, e.last);
        unconsumed_[e.first] = e.lines.size();
        entryLast_[e.first] = e.last;
        entrySource_[e.first] = e.source;
        depth_ += e.lines.size();
        for (size_t i = 0; i < e.lines.size(); ++i)
          recovered_.push_back(Line{e.first + i, e.source, e.lines[i], e.timeMs});
    }
  }
  if (bad) log_.WriteLog(999, "Intake journal " + seg.path + ": " + std::to_string(bad) + " unreadable entries skipped");
}

std::vector<IIntakeJournal::Line> TIntakeJournal::TakeRecovered() {
  std::lock_guard<std::mutex> g(m_);
  return std::move(recovered_);
}

void TIntakeJournal::EnsureAbove(Seq seq) {
  std::lock_guard<std::mutex> g(m_);
  next_ = std::max(next_, seq + 1);
}

// ---------------------------------------------------------------- appending

IIntakeJournal::Seq TIntakeJournal::Push(Entry e) {
  e.timeMs = Ms(opt_.clock->Now());
  e.first = next_;
  e.last = next_ + (e.lines.empty() ? 0 : e.lines.size() - 1);
  next_ = e.last + 1;
  if ((e.kind == 'L' || e.kind == 'N') && !e.lines.empty()) {
    unconsumed_[e.first] = e.lines.size();
    entryLast_[e.first] = e.last;
    entrySource_[e.first] = e.source;
    depth_ += e.lines.size();
  }
  Pending p{e, Encode(e)};
  pendingBytes_ += p.text.size();
  const Seq last = e.last;
  pending_.push_back(std::move(p));
  cv_.notify_all();
  return last;
}

IIntakeJournal::Seq TIntakeJournal::AppendEntry(char kind, const std::string& source,
                                                const std::vector<std::string>& lines, const std::string& unitKey,
                                                bool clearOwed, const std::string& note) {
  Seq last = 0;
  {
    std::lock_guard<std::mutex> g(m_);
    if (failing_ || full_) return 0;
    Entry e;
    e.kind = kind;
    e.source = source;
    e.unitKey = unitKey;
    e.clear = kind == 'L' && clearOwed && !unitKey.empty() && owed_.count(unitKey);
    e.lines = lines;
    e.note = note;
    if (e.clear) owed_.erase(unitKey);
    if (kind == 'N') owed_[unitKey] = note;
    if (lines.empty() && !e.clear && kind != 'N') return 0;
    last = Push(std::move(e));
  }
  NoteAccepting();
  return last;
}

IIntakeJournal::Seq TIntakeJournal::Append(const std::string& source, const std::vector<std::string>& lines,
                                           const std::string& unitKey, bool clearOwed) {
  return AppendEntry('L', source, lines, unitKey, clearOwed, "");
}

IIntakeJournal::Seq TIntakeJournal::AppendNoted(const std::string& source, const std::vector<std::string>& lines,
                                                const std::string& unitKey, const std::string& note) {
  if (unitKey.empty()) return Append(source, lines);
  return AppendEntry('N', source, lines, unitKey, false, note);
}

std::string TIntakeJournal::Note(const std::string& unitKey) const {
  std::lock_guard<std::mutex> g(m_);
  auto it = owed_.find(unitKey);
  return it == owed_.end() ? std::string() : it->second;
}

IIntakeJournal::Seq TIntakeJournal::SetOwed(const std::string& source, const std::string& unitKey, bool owed) {
  std::lock_guard<std::mutex> g(m_);
  if (unitKey.empty() || owed_.count(unitKey) == static_cast<size_t>(owed)) return 0;
  // A mark that cannot be written is not set: a poll that asks for records
  // is then not sent.
  if (owed && failing_) return 0;
  if (owed) owed_[unitKey];
  else owed_.erase(unitKey);
  Entry e;
  e.kind = owed ? 'O' : 'o';
  e.source = source;
  e.unitKey = unitKey;
  return Push(std::move(e));
}

bool TIntakeJournal::Owed(const std::string& unitKey) const {
  std::lock_guard<std::mutex> g(m_);
  return owed_.count(unitKey) > 0;
}

bool TIntakeJournal::Accepting() const {
  std::lock_guard<std::mutex> g(m_);
  return !failing_ && !full_;
}

bool TIntakeJournal::SettledLocked(const std::string& source) const {
  auto open = [&](const Pending& p) {
    if (p.entry.source != source) return false;
    // Lines the service has stored are safe even before they are written.
    return !(p.entry.kind == 'L' && !p.entry.lines.empty() && unconsumed_.count(p.entry.first) == 0);
  };
  return std::none_of(pending_.begin(), pending_.end(), open) &&
         std::none_of(inflight_.begin(), inflight_.end(), open);
}

bool TIntakeJournal::Settled(const std::string& source) const {
  std::lock_guard<std::mutex> g(m_);
  return SettledLocked(source);
}

bool TIntakeJournal::WaitSettled(const std::string& source, std::chrono::milliseconds max) {
  std::unique_lock<std::mutex> lk(m_);
  return doneCv_.wait_for(lk, max, [&] { return SettledLocked(source); });
}

bool TIntakeJournal::Withdraw(Seq first, Seq last) {
  if (last < first) return true;
  std::unique_lock<std::mutex> lk(m_);
  auto overlaps = [&](const Pending& p) { return p.entry.last >= first && p.entry.first <= last; };
  // An attempt under way decides whether those entries are on disk.
  doneCv_.wait(lk, [&] { return std::none_of(inflight_.begin(), inflight_.end(), overlaps); });
  Seq covered = 0;
  for (const auto& p : pending_)
    if (overlaps(p)) covered += p.entry.last - p.entry.first + 1;
  if (covered < last - first + 1) return false;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (!overlaps(*it)) {
      ++it;
      continue;
    }
    const Entry& e = it->entry;
    if (e.kind == 'O' || e.kind == 'N') owed_.erase(e.unitKey);
    else if (e.kind == 'o' || e.clear) owed_[e.unitKey];
    if (auto u = unconsumed_.find(e.first); (e.kind == 'L' || e.kind == 'N') && u != unconsumed_.end()) {
      depth_ -= u->second;
      unconsumed_.erase(u);
      entryLast_.erase(e.first);
      entrySource_.erase(e.first);
    }
    pendingBytes_ -= it->text.size();
    it = pending_.erase(it);
  }
  doneCv_.notify_all();
  return true;
}

void TIntakeJournal::Consumed(Seq seq) {
  {
    std::lock_guard<std::mutex> g(m_);
    auto it = unconsumed_.upper_bound(seq);
    if (it == unconsumed_.begin()) return;
    --it;
    auto last = entryLast_.find(it->first);
    if (last == entryLast_.end() || seq > last->second) return;
    --depth_;
    if (--it->second > 0) return;
    entrySource_.erase(it->first);
    entryLast_.erase(last);
    unconsumed_.erase(it);
  }
  // A transport may be waiting for those lines (the file cannot be written).
  doneCv_.notify_all();
}

std::string TIntakeJournal::SourceOf(Seq seq) const {
  std::lock_guard<std::mutex> g(m_);
  auto it = unconsumed_.upper_bound(seq);
  if (it == unconsumed_.begin()) return {};
  --it;
  auto last = entryLast_.find(it->first);
  if (last == entryLast_.end() || seq > last->second) return {};
  auto src = entrySource_.find(it->first);
  return src == entrySource_.end() ? std::string() : src->second;
}

std::uint64_t TIntakeJournal::Depth() const {
  std::lock_guard<std::mutex> g(m_);
  return depth_;
}

std::uint64_t TIntakeJournal::Bytes() const {
  std::lock_guard<std::mutex> g(m_);
  return bytes_ + pendingBytes_;
}

std::uint64_t TIntakeJournal::Syncs() const {
  std::lock_guard<std::mutex> g(m_);
  return syncs_;
}

size_t TIntakeJournal::Segments() const {
  std::lock_guard<std::mutex> g(m_);
  return segments_.size();
}

bool TIntakeJournal::Flush(std::chrono::milliseconds max) {
  std::unique_lock<std::mutex> lk(m_);
  cv_.notify_all();
  return doneCv_.wait_for(lk, max, [&] { return (pending_.empty() && inflight_.empty()) || failing_; }) &&
         !failing_;
}

void TIntakeJournal::NoteAccepting() {
  std::string line;
  {
    std::lock_guard<std::mutex> g(m_);
    const std::uint64_t total = bytes_ + pendingBytes_;
    if (!full_ && total >= opt_.maxBytes) full_ = true;
    else if (full_ && total < opt_.maxBytes / 4 * 3) full_ = false;
    const bool now = !failing_ && !full_;
    if (now == accepting_) return;
    accepting_ = now;
    line = now ? "Intake journal " + opt_.dir + " written again: records are asked for again"
               : "Intake journal " + opt_.dir + (failing_ ? " cannot be written" : " is full (" +
                                                                            std::to_string(total) + " bytes)") +
                     ": controllers and terminals are asked for no records";
  }
  log_.WriteLog(999, line);
}

// ---------------------------------------------------------------- the writer

bool TIntakeJournal::OpenCurrent(Seq firstOfNew, bool rotate) {
  if (fd_ >= 0 && !rotate) return true;
  char name[32];
  std::snprintf(name, sizeof name, "%020" PRIu64 ".jnl", firstOfNew);
  const std::string path = opt_.dir + "/" + name;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    WriteFail("cannot create a segment in");
    return false;
  }
  // The snapshot of owed marks starts every segment, so that no older
  // segment is needed for them.
  Entry s;
  s.kind = 'S';
  s.timeMs = Ms(opt_.clock->Now());
  for (const auto& [k, note] : durableOwed_) s.lines.push_back(note.empty() ? k : k + '\x1f' + note);
  const std::string text = Encode(s);
  struct stat st {};
  const off_t before = ::fstat(fd, &st) == 0 ? st.st_size : 0;
  if (!WriteAll(fd, text) || ::fdatasync(fd) != 0) {
    WriteFail("cannot write");
    if (::ftruncate(fd, before) != 0) WriteFail("cannot truncate");
    ::close(fd);
    return false;
  }
  SyncDir(opt_.dir);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  std::lock_guard<std::mutex> g(m_);
  if (segments_.empty() || segments_.back().path != path) segments_.push_back(Segment{firstOfNew, path, 0, 0});
  segments_.back().bytes += text.size();
  bytes_ += text.size();
  return true;
}

bool TIntakeJournal::WriteBatch(std::vector<Pending>& batch) {
  Seq first = batch.front().entry.first;
  bool rotate = false;
  {
    std::lock_guard<std::mutex> g(m_);
    rotate = fd_ >= 0 && !segments_.empty() && segments_.back().bytes >= opt_.segmentBytes;
  }
  if (!OpenCurrent(first, rotate)) return false;
  std::string text;
  for (const auto& p : batch) text += p.text;
  struct stat st {};
  const off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
  if (!WriteAll(fd_, text) || ::fdatasync(fd_) != 0) {
    WriteFail("cannot write");
    // A partial entry would swallow the next one: cut it off again.
    if (before >= 0 && ::ftruncate(fd_, before) != 0) WriteFail("cannot truncate");
    return false;
  }
  std::lock_guard<std::mutex> g(m_);
  Segment& seg = segments_.back();
  seg.bytes += text.size();
  bytes_ += text.size();
  for (const auto& p : batch) {
    const Entry& e = p.entry;
    if (e.kind == 'O') durableOwed_[e.unitKey];
    else if (e.kind == 'N') durableOwed_[e.unitKey] = e.note;
    else if (e.kind == 'o' || e.clear) durableOwed_.erase(e.unitKey);
    if ((e.kind == 'L' || e.kind == 'N') && !e.lines.empty()) seg.maxSeq = std::max(seg.maxSeq, e.last);
  }
  return true;
}

bool TIntakeJournal::CurrentSpent() {
  std::lock_guard<std::mutex> g(m_);
  if (segments_.empty()) return false;
  const Segment& cur = segments_.back();
  const Seq oldest = unconsumed_.empty() ? next_ : unconsumed_.begin()->first;
  return cur.maxSeq > 0 && cur.maxSeq < oldest && cur.bytes >= std::min<std::uint64_t>(opt_.segmentBytes, opt_.maxBytes / 4);
}

void TIntakeJournal::ReleaseSegments() {
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> g(m_);
    const Seq oldest = unconsumed_.empty() ? next_ : unconsumed_.begin()->first;
    while (segments_.size() > 1 && segments_.front().maxSeq < oldest) {
      gone.push_back(segments_.front().path);
      bytes_ -= segments_.front().bytes;
      segments_.pop_front();
    }
  }
  for (const auto& p : gone)
    if (::unlink(p.c_str()) != 0 && errno != ENOENT) Fail("cannot delete a segment of");
  if (!gone.empty()) NoteAccepting();
}

void TIntakeJournal::WriterMain() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    if (failing_ && !stop_) {
      cv_.wait_until(lk, retryAt_, [&] { return stop_; });
    } else {
      cv_.wait_for(lk, std::chrono::seconds(1), [&] { return stop_ || !pending_.empty(); });
    }
    if (pending_.empty()) {
      lk.unlock();
      // A folder that could not be written at start is tried again.
      bool reopened = false;
      if (failing_ && fd_ < 0 && !stop_ && std::chrono::steady_clock::now() >= retryAt_) {
        reopened = OpenCurrent(next_, false);
        if (!reopened) retryAt_ = std::chrono::steady_clock::now() + opt_.retryAfter;
      }
      // A current segment whose lines are all stored is replaced, so that it
      // can go, once it is worth the trouble.
      if (!failing_ && fd_ >= 0 && CurrentSpent()) OpenCurrent(next_, true);
      ReleaseSegments();
      lk.lock();
      // Nothing is left to write (what failed was withdrawn): the next entry
      // tries the file again.
      if (failing_ && fd_ >= 0 && pending_.empty()) reopened = true;
      if (reopened) {
        failing_ = false;
        lk.unlock();
        NoteAccepting();
        lk.lock();
      }
      if (stop_) break;
      continue;
    }
    inflight_.assign(std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
    pending_.clear();
    lk.unlock();
    const bool ok = WriteBatch(inflight_);
    lk.lock();
    ++syncs_;
    std::uint64_t bytes = 0;
    for (const auto& p : inflight_) bytes += p.text.size();
    if (!ok) {
      // Tried again later, in the same order, ahead of what came since.
      pending_.insert(pending_.begin(), std::make_move_iterator(inflight_.begin()),
                      std::make_move_iterator(inflight_.end()));
      retryAt_ = std::chrono::steady_clock::now() + opt_.retryAfter;
    } else {
      pendingBytes_ -= bytes;
    }
    inflight_.clear();
    const bool changed = failing_ != !ok;
    failing_ = !ok;
    doneCv_.notify_all();
    lk.unlock();
    if (changed) NoteAccepting();
    if (ok) ReleaseSegments();
    lk.lock();
    if (stop_ && (pending_.empty() || failing_)) break;
  }
}

}  // namespace px
