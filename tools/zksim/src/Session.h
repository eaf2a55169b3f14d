#pragma once
#include <cstdint>
#include <vector>

#include "Wire.h"
#include "zksim/ZkSim.h"

namespace zksim {

class Simulator;

// One client connection of the simulated terminal.
class Session {
public:
  Session(Simulator& sim, int fd) : sim_(sim), fd_(fd) {}
  void Run();

private:
  using Packets = std::vector<std::vector<uint8_t>>;
  // Answers one request into `out`; false closes the connection after `out`
  // is written.
  bool Handle(const Packet& p, Packets& out);
  void Reply(Packets& out, uint16_t command, const std::vector<uint8_t>& data = {});
  bool Write(const Packets& out);
  bool WriteAll(const uint8_t* p, size_t n);
  std::vector<uint8_t> Table(uint16_t command, uint32_t fct, bool& known);
  void SendChunk(uint32_t start, uint32_t size, Packets& out, bool& drop);
  // Sim lock held: the terminal's data commands.
  bool HandleData(const Packet& p, Packets& out);

  Simulator& sim_;
  int fd_;
  uint16_t session_ = 0;
  uint16_t reply_ = 0;
  bool authed_ = false;
  Faults faults_;                  // as they stood when the request came
  std::vector<uint8_t> pending_;   // table waiting to be read in chunks
  std::vector<uint8_t> inbound_;   // data the client put into the buffer
  bool dropAfterWrite_ = false;
  size_t dropAt_ = 0;              // bytes of the answer written before the cut
};

}  // namespace zksim
