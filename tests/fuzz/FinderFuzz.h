#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace px::fuzz {

// Runs one input through a frame finder the way a transport would: the
// input is cut into pieces by control bytes, and between pieces the
// transport may start a new exchange or give up a card upload. The frames
// that come out are taken apart with the same helpers the engine uses.
// Returns "" when every invariant held, otherwise what broke.
std::string CheckSerialFinder(const uint8_t* data, size_t size);
std::string CheckIpFinder(const uint8_t* data, size_t size);

}  // namespace px::fuzz
