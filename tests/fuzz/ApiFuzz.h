#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace px::fuzz {

// Runs one input through the REST API's request handling: byte 0 picks the
// method (its high bit puts "/api/v1/" before the target), byte 1 the
// token, then the target up to the first newline and the body after it.
// The backend behind it answers with the texts it was given. Returns ""
// when every invariant held, otherwise what broke.
std::string CheckApiRequest(const uint8_t* data, size_t size);

}  // namespace px::fuzz
