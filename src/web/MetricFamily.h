#pragma once
#include <cstdint>
#include <set>
#include <string>

namespace px {

// One metric family of the Prometheus text format: its HELP and TYPE lines,
// then its samples, each label set once.
class MetricFamily {
public:
  MetricFamily(std::string& out, const char* name, const char* type, const char* help);
  void Sample(std::uint64_t v, const std::string& labels = "");
  void SampleReal(double v, const std::string& labels = "");
  // name="value" with the value escaped as the format wants (\\, \", \n),
  // so a tag from the database cannot break the text.
  static std::string Label(const char* name, const std::string& value);

private:
  void Line(const std::string& labels, const std::string& value);
  std::string& out_;
  std::string name_;
  std::set<std::string> seen_;
};

}  // namespace px
