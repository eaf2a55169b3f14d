#pragma once
#include <string>

#include "zk/ZkCardList.h"
#include "zk/ZkModuleState.h"

namespace px {

// Collection of users, cards and fingerprint templates from the master
// terminal onto the server, and their installation into (and deletion from)
// the current terminal.
class TZkTemplates {
public:
  TZkTemplates(TZkModuleState& mod, TZkCardList& cards) : mod_(mod), cards_(cards) {}

  bool UploadAll(const std::string& address, int port);
  bool UploadOne(const std::string& address, int port, const std::string& user);
  bool UploadTemplates();
  bool UploadOneTemplate(const std::string& user);
  // Writes one user into the current terminal; `style` is the verification
  // style written (0 when none).
  bool InstallTemplate(const std::string& user, int& style);
  bool DeleteTemplate(const std::string& tag, const std::string& user);

private:
  // One finger of one user into `data`, by the form the terminal speaks.
  bool ReadFinger(int user, int finger, std::vector<std::uint8_t>& data);
  bool WriteFinger(int user, int finger, const std::vector<std::uint8_t>& data);
  bool WriteUser(int user, const std::string& password);
  // The modes of a user without fingers; false when nothing was stored.
  bool StoreWithoutFinger(const std::string& user, const std::string& card, const std::string& password,
                          bool report);
  bool Switch(const std::string& address12, int port, std::string& dotted);
  void CardOnlyPass();
  void Total(int users);

  TZkModuleState& mod_;
  TZkCardList& cards_;
};

}  // namespace px
