#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace px::fuzz {

// Runs one input through the terminal packet reassembler, fed in pieces
// whose sizes come from the input itself, and every packet's data through the
// table parsers. Returns "" when every invariant held, otherwise what broke.
std::string CheckZkStream(const uint8_t* data, size_t size);

}  // namespace px::fuzz
