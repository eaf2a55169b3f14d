#pragma once
#include <string>

namespace px {

// Database credentials from "OstrPro.tab": one 1024-byte record whose
// second byte is a key k; the user name is stored from offset 3i + k - 1 and
// the password from 3i + k + 95 (i = 1..32), each byte (char - k - i) mod 256,
// a zero byte ending the text.
struct Credentials {
  bool hasUser = false;  // an empty stored name still counts as a user
  std::string user;
  bool hasPassword = false;  // an empty password counts as absent
  std::string password;
};

Credentials ReadCredentialsFile(const std::string& path);
Credentials DecodeCredentials(const std::string& record);
// The inverse, for tests and installers: a 1024-byte record.
std::string EncodeCredentials(const std::string& user, const std::string& password, unsigned char key);

}  // namespace px
