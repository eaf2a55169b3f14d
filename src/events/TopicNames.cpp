#include "events/TopicNames.h"

#include <cstdio>

#include "events/TransactionEvent.h"

namespace px {

std::string TopicNames::Level(const std::string& tag) {
  std::string out;
  for (char ch : TransactionEvent::Utf8(tag)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '%' || c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace px
