#include "platform/Sql.h"

namespace px {

std::string SqlQuote(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    if (c == '\0') continue;  // a NUL cannot travel inside SQL text
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

}  // namespace px
