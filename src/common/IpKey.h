#pragma once
#include <string>
#include <string_view>

namespace px {

// 192.168.1.20 <-> "192168001020". IPToKey throws std::invalid_argument when
// a part is not a number; KeyToIP gives "" for a text shorter than 12.
std::string IPToKey(std::string_view dotted);
std::string KeyToIP(std::string_view key);

}  // namespace px
