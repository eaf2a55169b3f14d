#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace px::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pxtest.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& text) const { WriteFile(File(name), text); }
std::string TempDir::Read(const std::string& name) const { return ReadFile(File(name)); }
bool TempDir::Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void CaptureLog::WriteLog(int level, const std::string& text) {
  std::lock_guard<std::mutex> g(m_);
  lines_.emplace_back(level, text);
}

std::vector<std::pair<int, std::string>> CaptureLog::Lines() const {
  std::lock_guard<std::mutex> g(m_);
  return lines_;
}

bool CaptureLog::Has(const std::string& t) const { return Count(t) > 0; }
bool CaptureLog::HasSubstr(const std::string& p) const { return CountSubstr(p) > 0; }

int CaptureLog::Count(const std::string& t) const {
  std::lock_guard<std::mutex> g(m_);
  int n = 0;
  for (auto& l : lines_) n += l.second == t;
  return n;
}

int CaptureLog::CountSubstr(const std::string& p) const {
  std::lock_guard<std::mutex> g(m_);
  int n = 0;
  for (auto& l : lines_) n += l.second.find(p) != std::string::npos;
  return n;
}

void CaptureLog::Clear() {
  std::lock_guard<std::mutex> g(m_);
  lines_.clear();
}

std::string CaptureLog::Dump() const {
  std::lock_guard<std::mutex> g(m_);
  std::string s;
  for (auto& l : lines_) s += std::to_string(l.first) + ": " + l.second + "\n";
  return s;
}

int FreeLoopbackPort(const char* addr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace px::test
