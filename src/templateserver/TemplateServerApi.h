#pragma once
#include <string>

namespace px {

// What the template step of a card command to a fingerprint controller came
// to: the command goes on to the controller unless it Failed.
enum class TemplateHandOff {
  Done,     // the user's templates were removed (DC) or put on the device (AC)
  Skipped,  // the controller is the master device's: its templates are left alone
  Failed,   // not done, or refused because a transfer is under way
};

// The template server client as the engine and the client protocol see it.
class ITemplateServer {
public:
  virtual ~ITemplateServer() = default;
  virtual bool ServerDownloadATemplate(const std::string& mode, const std::string& controller,
                                       const std::string& clientKey, const std::string& user,
                                       const std::string& unitText, const std::string& address12) = 0;
  virtual bool AddDelTemplate(const std::string& mode, const std::string& controller, const std::string& user) = 0;
  // The template step of an AC (add) or DC for `user` on the device at the
  // controller's 12-digit address and unit, connection closed afterwards.
  // (Remove, upload and close run as one step inside the module, so a card
  // command can never close a transfer under way.)
  virtual TemplateHandOff HandOffCardCommand(bool add, const std::string& user, const std::string& address12,
                                             int unit) = 0;
};

}  // namespace px
