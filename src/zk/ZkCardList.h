#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zk/ZkModuleState.h"

namespace px {

// A collected user's card record and template files: the ZKList rows (card
// number, access mode and password, encoded) and the 2048-byte files under
// "templates" in the program folder.
class TZkCardList {
public:
  static constexpr size_t kTemplateSize = 2048;
  explicit TZkCardList(TZkModuleState& mod);

  // Mode and card as collected; a blank password is replaced by a random
  // number, so that every record carries one.
  void SavetoCardFile(const std::string& user, const std::string& card, const std::string& mode,
                      const std::string& password);
  // False when ZKList has no current row; outputs then "0000000000", "F", "".
  bool ReadFromCardFile(const std::string& user, std::string& card, std::string& mode, std::string& password);
  void UpdateZKList(const std::string& user, const std::string& data);
  std::string GetZKList(const std::string& user);
  // The current collection becomes the previous one.
  void ClearZKList();

  // "<AppDir>templates/Users_<user>.tpl" or "..._<n>.tpl".
  std::string TemplatePath(const std::string& user, int n) const;
  // Written beside and renamed; false (logged) when it could not be written,
  // the file as it was then stays.
  bool SavetoTemplateFile(const std::string& path, const std::vector<std::uint8_t>& buffer);
  // Finds the file whatever the letter case of its name; false when missing.
  bool ReadFromTemplateFile(const std::string& path, std::vector<std::uint8_t>& buffer);
  // Removes the user's template files (first and "_n", any letter case)
  // other than those numbered in `keep` (0 for the first).
  void RemoveTemplateFiles(const std::string& user, const std::vector<int>& keep);
  // The template in a file's 2048 bytes without the file's zero padding:
  // what is written to a terminal.
  static size_t TemplateLength(const std::vector<std::uint8_t>& buffer);

private:
  TZkModuleState& mod_;
  std::mt19937 rng_;
};

}  // namespace px
