#pragma once
#include <string_view>

namespace px {

// The OpenAPI document of the REST API (docs/openapi.json, compiled in so
// that what is served is what is checked in).
std::string_view ApiDocument();

}  // namespace px
