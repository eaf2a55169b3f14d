#include "service/Credentials.h"

#include <fstream>
#include <sstream>

namespace px {

namespace {
std::string DecodeField(const std::string& rec, int k, int base) {
  std::string out;
  for (int i = 1; i <= 32; ++i) {
    long long off = 3LL * i + k + base;
    if (off < 0 || static_cast<size_t>(off) >= rec.size()) break;
    unsigned char b = static_cast<unsigned char>(rec[static_cast<size_t>(off)]);
    if (b == 0) break;
    out += static_cast<char>(static_cast<unsigned char>((b + k + i) & 0xFF));
  }
  return out;
}

void EncodeField(std::string& rec, const std::string& text, int k, int base) {
  for (int i = 1; i <= 32 && i <= static_cast<int>(text.size()); ++i) {
    size_t off = static_cast<size_t>(3 * i + k + base);
    if (off >= rec.size()) break;
    rec[off] = static_cast<char>((static_cast<unsigned char>(text[static_cast<size_t>(i - 1)]) - k - i) & 0xFF);
  }
  // The terminator after the last character.
  size_t endOff = static_cast<size_t>(3 * (static_cast<int>(text.size()) + 1) + k + base);
  if (text.size() < 32 && endOff < rec.size()) rec[endOff] = 0;
}
}  // namespace

Credentials DecodeCredentials(const std::string& rec) {
  Credentials c;
  if (rec.size() < 2) return c;
  int k = static_cast<unsigned char>(rec[1]);
  c.hasUser = true;
  c.user = DecodeField(rec, k, -1);
  c.password = DecodeField(rec, k, 95);
  c.hasPassword = !c.password.empty();
  return c;
}

Credentials ReadCredentialsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::stringstream ss;
  ss << in.rdbuf();
  std::string rec = ss.str();
  if (rec.size() < 2) return {};
  return DecodeCredentials(rec);
}

std::string EncodeCredentials(const std::string& user, const std::string& password, unsigned char key) {
  std::string rec(1024, '\0');
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<char>(0x20 + (i * 7) % 90);  // filler
  rec[1] = static_cast<char>(key);
  EncodeField(rec, user, key, -1);
  EncodeField(rec, password, key, 95);
  return rec;
}

}  // namespace px
