#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace px {

// A JSON string literal. Text from controllers and the database is not
// always UTF-8: a byte that does not start a valid sequence is taken as
// Latin-1, so the page shows it instead of failing to parse.
std::string JsonQuote(std::string_view s);
// "#rrggbb".
std::string CssColour(std::uint8_t r, std::uint8_t g, std::uint8_t b);

}  // namespace px
