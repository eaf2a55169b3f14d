#pragma once
#include <string>

namespace px {

// The "Transactions" window as a headless grid model.
// (Interface in place; the grid behaviour is completed with the monitor work.)
class TTransOnlineForm {
public:
  TTransOnlineForm();
  virtual ~TTransOnlineForm();
  void AppendOneLine(const std::string& device, const std::string& date, const std::string& sequence,
                     const std::string& code, const std::string& text, const std::string& name,
                     const std::string& card, const std::string& staff, const std::string& time);
  std::string GetLastRec() const;
  std::string ExtractAllOnline() const;
  int LineCount() const { return lines_; }

private:
  int lines_ = 0;
};

}  // namespace px
