#include <cstdio>
#include <cstdlib>

#include "ZkFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error = px::fuzz::CheckZkStream(data, size);
  if (!error.empty()) {
    std::fprintf(stderr, "zk stream: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
