#pragma once
#include <string>
#include <string_view>

namespace px {

// The Windows-1252 code page the installations' texts are in, converted to
// and from UTF-8 by the database driver itself. PostgreSQL's own WIN1252
// conversion refuses the five bytes the code page leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D); here they map to the control characters of the
// same number, as Windows maps them, so that every byte a controller or an
// operator sends comes back from the database unchanged.
class Win1252 {
public:
  // True for the names PostgreSQL and Windows give the code page.
  static bool IsName(std::string_view encoding);
  static std::string ToUtf8(std::string_view text);
  // A character the code page cannot hold becomes "?".
  static std::string FromUtf8(std::string_view text);
};

}  // namespace px
