#pragma once
#include <string>
#include <vector>

namespace px {

// The card-upload file "user.tmp" in the program folder, which the engine
// writes during an upload. Its name is matched without regard to case, as
// the installations it comes from treat "User.TMP" and "user.tmp" as one file.
class TCardUploadFile {
public:
  explicit TCardUploadFile(std::string appDir) : appDir_(std::move(appDir)) {}
  // The name under which it is reported: the program folder + "user.tmp".
  std::string FullName() const { return appDir_ + "user.tmp"; }
  // Removes every file of the folder with that name in any case.
  void Delete() const;
  // False when no such file exists; otherwise its lines (CR LF or LF).
  bool ReadLines(std::vector<std::string>& lines) const;

private:
  std::string Find() const;
  std::string appDir_;
};

}  // namespace px
