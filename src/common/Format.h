#pragma once
#include <string>

namespace px {

// printf-style formatting into a std::string ("%2.2d", "%15s", "%3.3d" ...).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace px
