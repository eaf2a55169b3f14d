#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace px {

// Text encoding of card records and operator passwords: a random five-digit
// key split around triplets of shifted character codes.
// `random` returns 0..99999; by default a process-wide generator.
std::string EncodeText(std::string_view text, const std::function<int()>& random = {});
std::string DecodeText(std::string_view encoded);

}  // namespace px
