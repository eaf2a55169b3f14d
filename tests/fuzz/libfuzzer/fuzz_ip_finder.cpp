#include <cstdio>
#include <cstdlib>

#include "FinderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error = px::fuzz::CheckIpFinder(data, size);
  if (!error.empty()) {
    std::fprintf(stderr, "ip finder: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
