#pragma once
#include <string>
#include <string_view>

namespace px {

// The one way a value enters an SQL statement: enclosed in single quotes,
// with every apostrophe doubled, so that a tag such as O'Brien is stored as
// written and no value can change the statement around it.
std::string SqlQuote(std::string_view value);

}  // namespace px
