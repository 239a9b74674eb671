// One route through the forwarding tables: from a source port towards a
// destination LID, hop by hop through the forwarding states, for callers
// that need the path itself (the ports it leaves switches through) rather
// than a yes or no. Also the one wording of a broken route, which the route
// check uses for its lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"

enum class RouteEnd : uint8_t {
  kArrived,   // reached a non-switch port: RouteWalk::arrived (the caller checks it is the one
              // meant)
  kUnlinked,  // the source port has no link
  kToSwitch,  // a table entry of port 0: delivered to the switch itself
  kNoEntry,   // the table has no entry for the LID
  kBadPort,   // the entry names a port past the switch's port count
  kNoLink,    // the egress port does not exist or is not cabled
  kLoop,      // the packet enters a state already on its path
};

struct RouteWalk {
  RouteEnd end = RouteEnd::kUnlinked;
  const IBPort* arrived = nullptr;  // kArrived: the port reached
  const IBPort* into = nullptr;     // kLoop: the switch port through which it enters again
  // Where a route that did not arrive stopped: the switch, the table it
  // forwarded by, and the egress port the entry named (0 for kNoEntry,
  // kUnlinked and kToSwitch). For kLoop, the switch and egress port of the
  // step that leads back into a state already on the path. For kArrived, the
  // last switch and port (node null when the source is cabled to the port).
  const IBNode* node = nullptr;
  uint8_t table = 0;
  uint8_t port = 0;

  bool arrivedAt(const IBPort& dst) const { return end == RouteEnd::kArrived && arrived == &dst; }
};

// Walks routes of one fabric. Keeps scratch space sized to the fabric, so a
// walk allocates nothing once the path buffer has grown; the fabric's links
// and tables must not change while the walker is in use.
class RouteWalker {
 public:
  explicit RouteWalker(const IBFabric& fabric);

  // Walks from src towards dlid. When egress is not null it is cleared and
  // receives the switch ports the route leaves through, in order (the
  // source's own port is not among them). A source cabled straight to a
  // non-switch port arrives there at once, with no switch ports.
  RouteWalk walk(const IBPort& src, uint16_t dlid, std::vector<const IBPort*>* egress = nullptr);

 private:
  const IBNode* firstNode_;
  // Per node, one bit per table used on this walk: a (switch, table) state.
  std::vector<std::array<uint64_t, 4>> tablesOnPath_;
  std::vector<uint32_t> touched_;  // nodes whose bits are set
};

// Where a route towards lid ends when it forwards by table in switch sw and
// goes no further: the hop is a dead end or reaches a host; a hop into a
// switch is a loop (the caller found that state on the path already).
RouteWalk routeEndAt(const IBNode& sw, uint8_t table, uint16_t lid);

// Why a route from src towards dst did not arrive there, as the route check
// words it ("stopped at SW/P3 table 0: port has no link"); empty when it did.
std::string describeRouteWalk(const RouteWalk& w, const IBPort& src, const IBPort& dst);
