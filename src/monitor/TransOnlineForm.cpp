#include "monitor/TransOnlineForm.h"

namespace px {

TTransOnlineForm::TTransOnlineForm() = default;
TTransOnlineForm::~TTransOnlineForm() = default;

void TTransOnlineForm::AppendOneLine(const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, const std::string&) {
  if (lines_ < 49) ++lines_;
}

std::string TTransOnlineForm::GetLastRec() const { return {}; }
std::string TTransOnlineForm::ExtractAllOnline() const { return {}; }

}  // namespace px
