#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace px {

// What the engine knows of one controller unit of a serial bus or IP channel.
struct TUnitRecord {
  std::string StatusA;          // 2 hex characters from QA/QR/DB replies or a status record
  std::string StatusB;          // RI data (6) or characters 11-14 of a status record (4)
  bool Enabled = false;         // polled and accepting commands
  std::string Version;          // from the VN reply
  std::string Model;            // from the VN reply; empty until the unit answers VN
  int32_t VersionRequests = 0;  // IP: VN polls sent without answer
  std::string ConfiguredModel;  // IP: model given when the slot was created
  int32_t UnitNumber = 0;       // 1..16
  bool RepeatRequest = false;   // the next poll is QR
  bool LastPollWasQ = false;    // IP
  bool DataBlock = false;       // a DB reply arrived
  bool StatusRequest = false;   // the next poll asks for status (RI or RS)
  bool ModelKnown = true;       // model in the known list; true until a VN reply says otherwise
  int32_t FailureCount = 0;     // consecutive failed polls, 0..6 on a bus
  bool Reachable = true;        // IP
  // When the unit last answered (the zero time until it has): integrators
  // read it to tell a quiet unit from one that is no longer polled.
  std::chrono::system_clock::time_point LastGoodPoll{};
};

}  // namespace px
