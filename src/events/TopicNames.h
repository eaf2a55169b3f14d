#pragma once
#include <string>

namespace px {

// The stream's topics under the installation's prefix. Tags are the
// installer's text and become one topic level each: '%', '/', '+', '#',
// NUL and the other control characters are written as '%' and two hex
// digits (so "Gate 1/2" is "Gate 1%2F2" and no two tags share a level),
// and a tag that is not UTF-8 is read as Windows-1252 first.
class TopicNames {
public:
  explicit TopicNames(std::string prefix) : prefix_(std::move(prefix)) {}
  static std::string Level(const std::string& tag);

  std::string Transactions(const std::string& tag) const { return prefix_ + "/transactions/" + Level(tag); }
  std::string UnitState(const std::string& tag) const { return prefix_ + "/units/" + Level(tag) + "/state"; }
  std::string Status() const { return prefix_ + "/status"; }

private:
  std::string prefix_;
};

}  // namespace px
