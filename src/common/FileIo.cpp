#include "common/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace px {

bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

bool ReadWhole(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return true;
}

void SyncDir(const std::string& dir) {
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    ::fsync(d);
    ::close(d);
  }
}

void SyncDirOf(const std::string& path) {
  size_t p = path.rfind('/');
  SyncDir(p == std::string::npos ? "." : p == 0 ? "/" : path.substr(0, p));
}

bool ReplaceFile(const std::string& path, const std::string& data, const std::string& tmpSuffix, bool durable) {
  const std::string tmp = path + tmpSuffix;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && WriteAll(fd, data) && (!durable || ::fdatasync(fd) == 0);
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
    if (durable) SyncDirOf(path);
    return true;
  }
  const int err = errno;  // for the caller's message, not the clean-up's
  ::unlink(tmp.c_str());
  errno = err;
  return false;
}

std::string EscapeField(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 4);
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UnescapeField(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts(1);
  for (char c : line) {
    if (c == '\t') parts.emplace_back();
    else parts.back() += c;
  }
  return parts;
}

bool ParseU64(const std::string& s, std::uint64_t& out) {
  if (s.empty() || s.size() > 20) return false;
  out = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (out > (UINT64_MAX - d) / 10) return false;
    out = out * 10 + d;
  }
  return true;
}

}  // namespace px
