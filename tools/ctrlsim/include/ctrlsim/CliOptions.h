#pragma once
#include <string>
#include <vector>

namespace px::sim {

// Command line of the ctrlsim program.
struct CliOptions {
  struct Tcp {
    std::string address;
    int port = 0;
    std::vector<int> units;
  };

  bool serial = false;             // run the pty bus (also implied by --pty-link or no --tcp)
  std::string ptyLink;
  int baud = 9600;
  int turnaroundMs = 0;
  std::vector<int> units;          // serial units; all 16 unless given
  std::string model = "KX4100";
  std::string version = "1.23";
  int maxRecords = 4;
  int autoTransMs = 0;
  std::vector<std::string> cards;  // card entries as given
  std::string codes = "09";
  std::vector<Tcp> tcp;
  int pushMs = 0;                  // TCP units push queued records unasked
  std::string scenarioFile;
  bool verbose = false;
  bool help = false;

  static bool Parse(const std::vector<std::string>& args, CliOptions& out, std::string* error);
  static std::string Usage();

  // A --cards value: the lines of a file when one exists at that path,
  // otherwise a comma-separated list. Blank lines and '#' lines are skipped.
  static std::vector<std::string> LoadCards(const std::string& fileOrList);
  // The 6-character card number of an entry (short numbers zero-padded).
  static std::string CardNumber(const std::string& entry);
  // The 20-character upload record of an entry: a 20-character entry as it
  // is, otherwise the card number, PIN "0000", time zone "01" and eight
  // zero flag characters.
  static std::string CardRecord(const std::string& entry);
};

}  // namespace px::sim
