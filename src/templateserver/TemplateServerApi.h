#pragma once
#include <string>

namespace px {

// The template server client as the engine and the client protocol see it.
class ITemplateServer {
public:
  virtual ~ITemplateServer() = default;
  virtual bool UploadOneTemplate(const std::string& user, const std::string& address12, int unit) = 0;
  virtual bool RemoveOneTemplate(const std::string& user, const std::string& address12, int unit) = 0;
  virtual void CloseSocket() = 0;
  virtual bool ServerDownloadATemplate(const std::string& mode, const std::string& controller,
                                       const std::string& clientKey, const std::string& user,
                                       const std::string& unitText, const std::string& address12) = 0;
  virtual bool AddDelTemplate(const std::string& mode, const std::string& controller, const std::string& user) = 0;
};

}  // namespace px
