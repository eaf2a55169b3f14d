// libFuzzer entry: any bytes as one client request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "RequestHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static px::test::RequestHarness harness;
  std::string request(reinterpret_cast<const char*>(data), size);
  if (!harness.Feed(request)) std::abort();
  return 0;
}
