#include "common/TextCodec.h"

#include <random>

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

static int DefaultRandom() {
  static thread_local std::mt19937 gen{std::random_device{}()};
  return std::uniform_int_distribution<int>(0, 99999)(gen);
}

std::string EncodeText(std::string_view text, const std::function<int()>& random) {
  int r = random ? random() : DefaultRandom();
  if (r < 0) r = -r;
  std::string k = Format("%5.5d", r % 100000);
  int D[6];
  for (int j = 1; j <= 5; ++j) D[j] = (k[static_cast<size_t>(j - 1)] - '0') + 1;
  std::string out = k.substr(0, 3);
  for (size_t i = 1; i <= text.size(); ++i) {
    int code = static_cast<unsigned char>(text[i - 1]);
    out += Format("%3.3d", code + D[(i % 5) + 1]);
  }
  out += k.substr(3, 2);
  return out;
}

std::string DecodeText(std::string_view enc) {
  if (enc.size() < 5) return {};
  std::string k = std::string(enc.substr(0, 3)) + std::string(enc.substr(enc.size() - 2));
  int D[6];
  for (int j = 1; j <= 5; ++j) {
    char c = k[static_cast<size_t>(j - 1)];
    D[j] = (c >= '0' && c <= '9' ? c - '0' : 0) + 1;
  }
  std::string_view body = enc.substr(3, enc.size() - 5);
  std::string out;
  size_t n = body.size() / 3;
  for (size_t j = 1; j <= n; ++j) {
    long long v = StrToIntDef(body.substr((j - 1) * 3, 3), 0);
    out += static_cast<char>(static_cast<unsigned char>(v - D[(j % 5) + 1]));
  }
  return out;
}

}  // namespace px
