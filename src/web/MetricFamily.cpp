#include "web/MetricFamily.h"

#include <cstdio>

namespace px {

MetricFamily::MetricFamily(std::string& out, const char* name, const char* type, const char* help)
    : out_(out), name_(name) {
  out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricFamily::Sample(std::uint64_t v, const std::string& labels) { Line(labels, std::to_string(v)); }

void MetricFamily::SampleReal(double v, const std::string& labels) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  Line(labels, buf);
}

void MetricFamily::Line(const std::string& labels, const std::string& value) {
  // Two rows of the registry alike in every label would make the text
  // invalid; the first one stands.
  if (!seen_.insert(labels).second) return;
  out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

std::string MetricFamily::Label(const char* name, const std::string& value) {
  std::string out = std::string(name) + "=\"";
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out + "\"";
}

}  // namespace px
