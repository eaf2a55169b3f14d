#pragma once
#include <string>
#include <utility>
#include <vector>

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
  // One user as collected, held until the whole transfer has succeeded.
  struct Collected {
    std::string user, card, password, mode;  // no mode: nothing to store
    std::vector<std::pair<int, std::vector<std::uint8_t>>> files;  // file number, template
    bool fingerMissing = false;
  };
  // One finger of one user into `data`, by the form the terminal speaks.
  bool ReadFinger(int user, int finger, std::vector<std::uint8_t>& data);
  // The user's fingers into `c`; false when the link broke.
  bool ReadFingers(const std::string& user, int number, bool report, Collected& c);
  // Stores a collection: files, then (with `clearList`) the list turned
  // over, then the card records. False when a file could not be written.
  bool Commit(const std::vector<Collected>& users, bool clearList);
  // The link to the current terminal broke: logged once here.
  bool LinkLost();
  bool WriteFinger(int user, int finger, const std::vector<std::uint8_t>& data);
  bool WriteUser(int user, const std::string& password);
  // The mode of a user without fingers; empty when there is nothing to store.
  std::string ModeWithoutFinger(const std::string& user, const std::string& card, const std::string& password,
                                bool report);
  bool Switch(const std::string& address12, int port, std::string& dotted);
  void CardOnlyPass();
  void Total(int users);

  TZkModuleState& mod_;
  TZkCardList& cards_;
};

}  // namespace px
