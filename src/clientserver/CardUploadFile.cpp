#include "clientserver/CardUploadFile.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/StrUtil.h"

namespace px {

namespace fs = std::filesystem;

std::string TCardUploadFile::Find() const {
  std::error_code ec;
  if (fs::exists(FullName(), ec)) return FullName();
  std::string dir = appDir_.empty() ? "." : appDir_;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (SameText(it->path().filename().string(), "user.tmp")) return it->path().string();
  }
  return {};
}

void TCardUploadFile::Delete() const {
  std::error_code ec;
  for (std::string f = Find(); !f.empty(); f = Find()) {
    if (!fs::remove(f, ec)) break;
  }
}

bool TCardUploadFile::ReadLines(std::vector<std::string>& lines) const {
  lines.clear();
  std::string f = Find();
  if (f.empty()) return false;
  std::ifstream in(f, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

}  // namespace px
