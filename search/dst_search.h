// The flow-limited destination search: from a source host port, walk the
// switches' forwarding paths depth-first, least-loaded egress port first,
// until a free host port of another group is reached.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fabric/fabric.h"
#include "search/lid_map.h"

struct SearchLimits {
  uint32_t maxFlows = 1;  // a switch egress port carrying this many pairs is full
  uint16_t lmc = 0;
  uint32_t minDist = 0;  // fewest links from source to destination
};

// Scratch space reused by every walk, so a visited switch allocates nothing
// once the buffers have grown to the fabric's size. Assumes the fabric's links
// and forwarding tables stay as they are while the context is in use, and
// that flow counts only grow (one context per run, counters cleared before).
class SearchContext {
 public:
  explicit SearchContext(const IBFabric& fabric, bool trace = false);

  // Print a "-V-" line for every port the walk enters.
  bool trace;

  // The free LIDs of every group split by the egress port that a first switch
  // gives them in one table: bucket p is lids[start[p], end[p]). Built once
  // per (switch, table) and kept across sources; LIDs that have left the map
  // are dropped from a bucket when it is next read.
  struct FirstSwitchLids {
    uint64_t stamp = 0;  // LidGroupMap::stamp() when built
    std::vector<uint16_t> lids;
    std::array<uint32_t, 256> start{};
    std::array<uint32_t, 256> end{};
  };
  // One switch on the current path, at depth hops: the walk's explicit
  // stack, so a path's length is not bounded by the call stack. A deque keeps
  // references to the shallower levels valid while deeper ones are added.
  struct Level {
    std::vector<uint16_t> lids;             // the LID set, partitioned by egress port
    std::vector<uint16_t> kept;             // incoming LIDs bound for an open port
    std::array<uint32_t, 257> start{};      // bucket p is lids[start[p], start[p+1])
    std::array<uint8_t, 256> candidates{};  // port numbers, in the order to try them
    const IBNode* node = nullptr;
    uint8_t table = 0;
    unsigned numCandidates = 0;
    unsigned next = 0;                 // the candidate to try next
    IBPort* taken = nullptr;           // the egress port the deeper levels were entered through
    uint64_t* dead = nullptr;          // the state's row of dead LIDs, when they are kept
    size_t numKept = 0;                // LIDs in lids
    FirstSwitchLids* first = nullptr;  // the cached split, at the source's own switch only
  };
  Level& level(uint32_t hops);

  FirstSwitchLids& firstSwitchLids(const IBNode& node, uint8_t table, const LidGroupMap& lidMap);

  // (switch, forwarding table) pairs on the current path, for loop detection.
  bool onPath(const IBNode& node, uint8_t table) const;
  void setOnPath(const IBNode& node, uint8_t table, bool on);

  // The most links any LID, sent out of port p of a switch that uses the
  // given table, crosses before it reaches a host, counting the link out of
  // p; 0 when no LID gets to a host that way. A walk there cannot find a
  // destination further away, so with a minimum distance it need not go
  // where the bound falls short. Worked out for every LID of every table on
  // first use, which costs about one route check over every LID.
  uint32_t reach(const IBNode& node, uint8_t table, uint8_t port);

  // Dead LIDs. Without a minimum distance, flow counts only grow and free
  // destinations only leave, so a LID whose route from a (switch, table)
  // state found no destination never will: later walks drop it on entry,
  // and a source that finds nothing costs about what one that finds
  // something costs. True when the rows may be used for a search under
  // these limits (not with a minimum distance, nor while tracing, which
  // shows every port entered); they start afresh whenever a LID joins the
  // map or the limits change.
  bool keepDeadLids(const LidGroupMap& lidMap, const SearchLimits& limits);
  // One bit per LID; valid after keepDeadLids returned true.
  uint64_t* deadLids(const IBNode& node, uint8_t table) {
    return dead_.data() + (stateBase_[nodeIndex(node)] + table) * deadWords_;
  }

 private:
  size_t nodeIndex(const IBNode& node) const { return static_cast<size_t>(&node - firstNode_); }
  void buildReach();

  const IBFabric* fabric_;
  const IBNode* firstNode_;
  std::span<const IBNode> nodes_;
  // reach_[reachBase_[node] + table * (portCount + 1) + port]; empty until used.
  std::vector<uint32_t> reach_;
  std::vector<uint32_t> reachBase_;
  std::vector<std::array<uint64_t, 4>> tablesOnPath_;  // one bit per table, per node
  std::deque<Level> levels_;
  std::unordered_map<uint64_t, FirstSwitchLids> firstSwitchLids_;  // by node index, table
  std::vector<uint32_t> stateBase_;  // first (switch, table) state of each node
  uint32_t numStates_ = 0;
  std::vector<uint64_t> dead_;  // deadWords_ words per state
  size_t deadWords_ = 0;
  uint64_t deadStamp_ = 0;
  uint32_t deadMaxFlows_ = 0;
  uint16_t deadLmc_ = 0;
};

// Outcome of a search for one source: the destination (null when none is
// free), or an error that ends the run.
struct DstSearchResult {
  IBPort* dst = nullptr;
  std::string error;  // the "-E-" line, empty when the search could run
};

// Finds and books a destination for src: a free grouped port of a group other
// than srcGroup, reached by a walk carrying the free LIDs of those groups. On
// success the egress ports of the path count one more flow
// and the destination's LIDs leave lidMap; otherwise nothing changes.
DstSearchResult findDstForSrc(SearchContext& ctx, std::string_view srcGroup, IBPort& src,
                              LidGroupMap& lidMap, const SearchLimits& limits);

// The walk from any port: enters inPort's node, hops links from the source,
// carrying the LIDs still reachable (read only). Returns the destination (any
// free grouped port that owns a carried LID) or null. Prints a "-V-" trace line per entered port
// when ctx.trace is set.
IBPort* dfsAndGetFreeDstPath(SearchContext& ctx, IBPort& inPort, uint32_t hops,
                             std::span<const uint16_t> dstLids, LidGroupMap& lidMap,
                             const SearchLimits& limits);
