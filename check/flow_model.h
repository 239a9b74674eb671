// What each pair of a stage should reach when all of the stage's pairs run
// at once: max-min fair sharing (progressive filling) of every directed
// link's rate among the pairs that cross it.
#pragma once

#include <string>
#include <vector>

#include "check/stage_check.h"
#include "fabric/fabric.h"
#include "pairs/pairs_reader.h"

// The rate of every directed link, by the index (in IBFabric::ports()) of
// the port it is left through: a switch egress port, or a host's own port
// for its cable towards the switch.
struct LinkRates {
  std::vector<double> rate;  // in the results' unit; 0 for a port without a link
  bool recorded = false;     // some link records its width and speed
};

// Rates from the recorded width and speed, in the unit unitPerMbps converts
// to (results per Mb/s). A link that records none takes the most common
// recorded rate; where no link records one, every link takes fallback
// (0 leaves them at 0, which no pair can be judged by).
LinkRates recordedLinkRates(const IBFabric& fabric, double unitPerMbps, double fallback);

// A directed link made slower: "PORT=FRACTION", PORT a switch egress port
// (SWITCH/P<n>) or a host port (its cable towards the switch), FRACTION of
// its rate from 0 to 1.
struct Degradation {
  const IBPort* port = nullptr;
  double fraction = 1;
};
bool parseDegradation(const IBFabric& fabric, const std::string& text, Degradation* out,
                      std::string* err);

// Expected rate of every pair, [stage][pair] as in plan; NaN for a pair
// without a complete path. hostRate, when above 0, caps what each host
// sends and receives in all (a host limited by its bus, not its cable).
std::vector<std::vector<double>> fairShares(const IBFabric& fabric, const PairPlan& plan,
                                            const std::vector<StageCheck>& checks,
                                            const LinkRates& rates, double hostRate);
