#pragma once
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace px::sim {

// The user store and command handling of a template server device: each
// frame (address byte, 2-letter command, data, checksum, without its CR)
// gets one reply frame with its CR, or none. A frame with data whose checksum
// does not match is answered "NK" and changes nothing. Thread-safe.
class TemplateDevice {
public:
  // A template text: the 32-character header (12-digit ID, the 10-character
  // user record of mode, blank, 6-digit ID and 2-digit finger count, then
  // filler) and six 128-character blocks per finger, all printable.
  static std::string MakeTemplate(long long user, int fingers, char mode = 'C');
  static std::string Checksum(const std::string& data);
  static std::string Id12(long long user);

  void AddUser(long long user, int fingers, char mode = 'C');
  void SetTemplate(const std::string& id12, const std::string& text);
  bool HasUser(const std::string& id12) const;
  std::string Template(const std::string& id12) const;
  size_t UserCount() const;
  void Clear();

  // The next `count` commands of this kind (or "*" for any) are answered
  // with `code` and no data.
  void ForceCode(const std::string& command, const std::string& code, int count = 1);
  // Units this device answers; empty answers every unit.
  void SetUnits(std::vector<int> units);
  // A faulty device: every DU gives the first user again.
  void SetDuRepeats(bool on);

  // Handles one frame; false when nothing is to be sent back.
  bool Handle(const std::string& frame, std::string& reply);

  // Commands heard, as "CMD" plus the data without its checksum.
  std::vector<std::string> Heard() const;
  int CountHeard(const std::string& command) const;

private:
  std::string Reply(char addr, const std::string& code, const std::string& data) const;
  bool Forced(const std::string& command, std::string& code);

  mutable std::mutex m_;
  std::map<std::string, std::string> users_;  // by 12-digit ID
  std::string duLast_;  // the ID a DU sent last ("" before the first)
  bool duRepeats_ = false;
  std::vector<int> units_;
  struct Force {
    std::string command, code;
    int count;
  };
  std::vector<Force> forced_;
  std::vector<std::string> heard_;
  // The upload under way: its ID, expected packet count and text so far.
  std::string upId_, upText_;
  int upTotal_ = 0, upNext_ = 0;
};

}  // namespace px::sim
