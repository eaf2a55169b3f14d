#include <cstdio>
#include <cstdlib>

#include "ApiFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error = px::fuzz::CheckApiRequest(data, size);
  if (!error.empty()) {
    std::fprintf(stderr, "api request: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
