// The pairs of one stage as they will run: both ends placed on hosts, a TCP
// port each, and the ib_write_bw command lines of server and client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pairs/pairs_reader.h"
#include "testrun/pair_ends.h"

struct TestSettings {
  uint32_t duration = 5;  // ib_write_bw -D
  uint64_t size = 0;      // ib_write_bw -s; 0: not given
  uint32_t basePort = 18515;
  bool oneMachine = false;  // every "host" is this machine (the local launcher)
};

struct RunPair {
  PairEnd src;
  PairEnd dst;
  uint16_t dlid = 0;                // the LID the plan fixed; 0: the destination's base LID
  unsigned tcpPort = 0;             // the server's
  std::vector<std::string> server;  // ib_write_bw and its arguments
  std::vector<std::string> client;
  std::string leftOut;  // why the pair does not run, when it does not
};

// The stage's pairs with their ends resolved. A pair whose end has no usable
// host is left out with the reason.
std::vector<RunPair> placeStage(const Stage& stage, const HostMap& map,
                                const std::string& defaultDevice);

// Gives every running pair its server's TCP port and both command lines.
// Ports count up from the base per server host, so that one host's servers
// never share one; on one machine every pair of the stage has its own. False
// with *err when the ports would pass 65535.
bool prepareCommands(std::vector<RunPair>& pairs, const TestSettings& settings, std::string* err);
