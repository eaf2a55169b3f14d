#pragma once
#include <string>
#include <vector>

namespace px {

// The progress lines of the "Download Template" window. The template server
// module implements it beside ITemplateServer so that a monitor can show the
// lines; read on the loop thread, like the module itself.
class ITemplateMemo {
public:
  virtual ~ITemplateMemo() = default;
  virtual std::vector<std::string> MemoLines() const = 0;
};

}  // namespace px
