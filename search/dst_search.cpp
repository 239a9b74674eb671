#include "search/dst_search.h"

#include <algorithm>
#include <cstdio>

#include "fabric/routing/forwarding_states.h"

SearchContext::SearchContext(const IBFabric& fabric, bool traceWalks)
    : trace(traceWalks),
      fabric_(&fabric),
      firstNode_(fabric.nodes().data()),
      nodes_(fabric.nodes()),
      tablesOnPath_(fabric.nodes().size()),
      stateBase_(fabric.nodes().size(), 0) {
  for (const IBNode& node : nodes_) {
    stateBase_[nodeIndex(node)] = numStates_;
    unsigned tables = 1;
    for (uint8_t t : node.ingressTable) tables = std::max(tables, unsigned{t} + 1);
    numStates_ += node.isSwitch() ? tables : 0;
  }
}

bool SearchContext::keepDeadLids(const LidGroupMap& lidMap, const SearchLimits& limits) {
  if (trace || limits.minDist != 0) return false;
  if (!dead_.empty() && deadStamp_ == lidMap.stamp() && deadMaxFlows_ == limits.maxFlows &&
      deadLmc_ == limits.lmc)
    return true;
  // Walks carry only LIDs present now, and none joins without a new stamp.
  uint16_t maxLid = 0;
  for (uint16_t lid : lidMap.lids()) maxLid = std::max(maxLid, lid);
  deadWords_ = maxLid / 64u + 1;
  dead_.assign(size_t{numStates_} * deadWords_ + 1, 0);  // never empty once kept
  deadStamp_ = lidMap.stamp();
  deadMaxFlows_ = limits.maxFlows;
  deadLmc_ = limits.lmc;
  return true;
}

uint32_t SearchContext::reach(const IBNode& node, uint8_t table, uint8_t port) {
  if (reachBase_.empty()) buildReach();
  return reach_[reachBase_[nodeIndex(node)] + table * (node.portCount + 1u) + port];
}

// For each LID in turn, every state's distance to the host the LID leads to
// is worked out once, following the tables with an explicit stack (0: a dead
// end or a loop), and the longest distance out of each egress port is kept.
// LIDs are taken in order, so the tables are read front to back.
void SearchContext::buildReach() {
  const ForwardingStates states(*fabric_);
  const uint32_t numStates = static_cast<uint32_t>(states.size());
  // States of a switch are consecutive, table 0 first: so are their entries.
  std::vector<uint32_t> reachOfState(numStates);
  reachBase_.assign(nodes_.size(), 0);
  size_t total = 0, maxLid = 0;
  for (uint32_t s = 0; s < numStates; ++s) {
    const IBNode& sw = states.node(s);
    if (states.table(s) == 0) reachBase_[nodeIndex(sw)] = static_cast<uint32_t>(total);
    reachOfState[s] = static_cast<uint32_t>(total);
    total += sw.portCount + size_t{1};
    maxLid = std::max(maxLid, sw.lft(states.table(s)).size());
  }
  reach_.assign(total, 0);

  constexpr uint32_t kUnknown = UINT32_MAX, kOnStack = UINT32_MAX - 1;
  constexpr uint32_t kHostBit = ForwardingStates::kHostBit;
  std::vector<uint32_t> dist(numStates);
  std::vector<uint32_t> stack;
  for (size_t lid = 1; lid < maxLid; ++lid) {
    std::fill(dist.begin(), dist.end(), kUnknown);
    for (uint32_t start = 0; start < numStates; ++start) {
      if (dist[start] != kUnknown) continue;
      stack.assign(1, start);
      dist[start] = kOnStack;
      while (!stack.empty()) {
        const uint32_t s = stack.back();
        const uint8_t port = states.egress(s, static_cast<uint16_t>(lid));
        const uint32_t next = states.lead(s, port);
        if (next < kHostBit && dist[next] == kUnknown) {
          dist[next] = kOnStack;
          stack.push_back(next);
          continue;
        }
        uint32_t d = 0;
        if (next == ForwardingStates::kDeadEnd) {
          d = 0;
        } else if (next & kHostBit) {
          d = 1;
        } else if (dist[next] != kOnStack && dist[next] != 0) {
          d = dist[next] + 1;
        }
        dist[s] = d;
        if (d != 0) {
          uint32_t& r = reach_[reachOfState[s] + port];
          r = std::max(r, d);
        }
        stack.pop_back();
      }
    }
  }
}

SearchContext::Level& SearchContext::level(uint32_t hops) {
  while (levels_.size() <= hops) levels_.emplace_back();
  return levels_[hops];
}

bool SearchContext::onPath(const IBNode& node, uint8_t table) const {
  return (tablesOnPath_[nodeIndex(node)][table >> 6] >> (table & 63)) & 1;
}

void SearchContext::setOnPath(const IBNode& node, uint8_t table, bool on) {
  uint64_t& word = tablesOnPath_[nodeIndex(node)][table >> 6];
  uint64_t bit = uint64_t{1} << (table & 63);
  word = on ? (word | bit) : (word & ~bit);
}

// The walk arrived at a host port. It is the destination if it is a grouped
// port still free, of a group other than the source's (so never the source
// itself), far enough, and owns a LID the walk carried. The port decides, not
// the LIDs alone: with overlapping LID ranges or inconsistent tables a
// carried LID may be delivered to the source, its group, or a port already
// taken. *bySource is set when the port was refused for being the source or
// of its group, which another source might not be.
static IBPort* takeHost(IBPort& port, uint32_t hops, std::span<const uint16_t> dstLids,
                        LidGroupMap& lidMap, const SearchLimits& limits, const IBPort* source,
                        int32_t ownGroup, bool* bySource = nullptr) {
  if (hops < limits.minDist || port.baseLid == 0) return nullptr;
  const int32_t group = lidMap.freeGroupOf(port);
  if (group == LidGroupMap::kAbsent) return nullptr;
  if (&port == source || group == ownGroup) {
    if (bySource) *bySource = true;
    return nullptr;
  }
  const uint32_t count = lidsPerPort(limits.lmc);
  bool owns = false;
  for (uint16_t lid : dstLids) {
    if (static_cast<uint16_t>(lid - port.baseLid) < count) {
      owns = true;
      break;
    }
  }
  if (!owns) return nullptr;
  lidMap.take(port, count);
  return &port;
}

SearchContext::FirstSwitchLids& SearchContext::firstSwitchLids(const IBNode& node, uint8_t table,
                                                               const LidGroupMap& lidMap) {
  FirstSwitchLids& f = firstSwitchLids_[nodeIndex(node) * 256 + table];
  if (f.stamp == lidMap.stamp()) return f;
  // Counting sort of the free LIDs by egress port; LIDs sent anywhere but a
  // port of this switch can never be a candidate's and are left out.
  f.stamp = lidMap.stamp();
  const std::span<const uint8_t> lft = node.lft(table);
  auto egressOf = [&](uint16_t lid) { return lid < lft.size() ? lft[lid] : kLftNoEntry; };
  std::array<uint32_t, 257> count{};
  for (uint16_t lid : lidMap.lids()) {
    const uint8_t port = egressOf(lid);
    count[port + 1] += port >= 1 && port <= node.portCount && port != kLftNoEntry;
  }
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  f.lids.resize(count[256]);
  std::copy_n(count.begin(), 256, f.start.begin());
  std::copy_n(count.begin() + 1, 256, f.end.begin());
  for (uint16_t lid : lidMap.lids()) {
    const uint8_t port = egressOf(lid);
    if (port >= 1 && port <= node.portCount && port != kLftNoEntry) f.lids[count[port]++] = lid;
  }
  return f;
}

namespace {

void trace(const IBPort& inPort, size_t numLids) {
  std::printf("-V- dfsAndGetFreeDstPath inPort:%s num-dsts:%zu\n", inPort.getName().c_str(),
              numLids);
  std::fflush(stdout);
}

// Usable ports of a switch ordered by flow count, ties by port number (a
// stable insertion sort of at most 255 entries); open[p] marks those below the
// limit. Returns how many there are.
unsigned orderCandidates(const IBNode& node, const SearchLimits& limits,
                         std::array<uint8_t, 256>& candidates, std::array<bool, 256>& open,
                         bool& anyOpen) {
  std::array<uint32_t, 256> counts;
  unsigned numCandidates = 0;
  open.fill(false);
  anyOpen = false;
  // Ports are numbered 1 to 254: a table's 255 means "no entry", so a port
  // 255 would collect every LID the switch cannot forward.
  const unsigned lastPort = std::min<unsigned>(node.portCount, kLftNoEntry - 1);
  for (unsigned n = 1; n <= lastPort; ++n) {
    IBPort* port = node.getPort(n);
    if (!port || !port->remote) continue;
    if (port->flowCount < limits.maxFlows) open[n] = anyOpen = true;
    unsigned i = numCandidates++;
    while (i > 0 && counts[i - 1] > port->flowCount) {
      candidates[i] = candidates[i - 1];
      counts[i] = counts[i - 1];
      --i;
    }
    candidates[i] = static_cast<uint8_t>(n);
    counts[i] = port->flowCount;
  }
  return numCandidates;
}

using Level = SearchContext::Level;

// Makes the switch entered through inPort the walk's level hops, carrying the
// given LIDs, and marks it on the path. False when the walk cannot go on from
// there: a forwarding loop (the switch is already on the path with the same
// table, so it could only repeat what the earlier visit is trying), no port
// below the limit, or nothing carried.
bool pushSwitch(SearchContext& ctx, const IBPort& inPort, uint32_t hops,
                std::span<const uint16_t> carried, const SearchLimits& limits, bool keepDead) {
  const IBNode& node = *inPort.owner;
  const uint8_t table = node.tableForIngress(inPort.portNumber);
  if (ctx.onPath(node, table)) return false;

  Level& lv = ctx.level(hops);
  std::array<bool, 256> open;
  bool anyOpen;
  lv.numCandidates = orderCandidates(node, limits, lv.candidates, open, anyOpen);
  if (!anyOpen || carried.empty()) return false;

  // One pass over the LIDs splits them by egress port (counting sort), so each
  // candidate's subset is a slice instead of a scan of the whole set. LIDs
  // for ports that cannot take a flow are dropped here.
  const std::span<const uint8_t> lft = node.lft(table);
  const uint8_t* const entries = lft.data();
  const size_t tableSize = lft.size();
  auto egressOf = [&](uint16_t lid) { return lid < tableSize ? entries[lid] : kLftNoEntry; };
  const size_t numLids = carried.size();
  if (lv.lids.size() < numLids) {
    lv.lids.resize(numLids);
    lv.kept.resize(numLids);
  }
  // Raw pointers: stores through them cannot alias the vectors' own fields.
  uint16_t* const kept = lv.kept.data();
  uint16_t* const out = lv.lids.data();
  // Only linked ports 1..portCount are open, so buckets beyond are never used.
  const unsigned numBuckets = node.portCount + 2u;
  std::array<uint32_t, 257> count;
  std::fill_n(count.begin(), numBuckets, 0u);
  size_t numKept = 0;
  uint64_t* const dead = keepDead ? ctx.deadLids(node, table) : nullptr;
  if (dead) {
    for (uint16_t lid : carried) {
      const uint8_t port = egressOf(lid);
      const bool live = open[port] && !((dead[lid >> 6] >> (lid & 63)) & 1);
      kept[numKept] = lid;
      numKept += live;
      count[port + 1] += live;
    }
  } else {
    for (uint16_t lid : carried) {
      const uint8_t port = egressOf(lid);
      kept[numKept] = lid;
      numKept += open[port];
      count[port + 1] += open[port];
    }
  }
  if (numKept == 0) return false;
  for (unsigned p = 1; p < numBuckets; ++p) count[p] += count[p - 1];
  std::copy_n(count.begin(), numBuckets, lv.start.begin());
  for (size_t i = 0; i < numKept; ++i) out[count[egressOf(kept[i])]++] = kept[i];

  lv.node = &node;
  lv.table = table;
  lv.next = 0;
  lv.first = nullptr;
  lv.dead = dead;
  lv.numKept = numKept;
  ctx.setOnPath(node, table, true);
  return true;
}

// The source's own switch as level 1. Its LID set would be every free LID
// outside the source's group; instead of splitting that set afresh for every
// source, each candidate's subset is read from the switch's cached buckets,
// and only for the candidates the walk actually tries (lidsThrough).
bool pushFirstSwitch(SearchContext& ctx, const IBPort& inPort, const LidGroupMap& lidMap,
                     const SearchLimits& limits) {
  const IBNode& node = *inPort.owner;
  const uint8_t table = node.tableForIngress(inPort.portNumber);
  Level& lv = ctx.level(1);
  std::array<bool, 256> open;
  bool anyOpen;
  lv.numCandidates = orderCandidates(node, limits, lv.candidates, open, anyOpen);
  if (!anyOpen) return false;

  lv.first = &ctx.firstSwitchLids(node, table, lidMap);
  if (lv.lids.size() < lv.first->lids.size()) lv.lids.resize(lv.first->lids.size());
  lv.node = &node;
  lv.table = table;
  lv.next = 0;
  lv.dead = nullptr;
  ctx.setOnPath(node, table, true);
  return true;
}

// Out of the source's own switch through port p no other group's LID can
// reach a destination any more (p is full, or the walk through it found
// nothing): only the own group's LIDs stay in the cached bucket.
void dropFirstSwitchBucket(Level& lv, uint8_t p, const LidGroupMap& lidMap, int32_t ownGroup,
                           bool portFull) {
  SearchContext::FirstSwitchLids& first = *lv.first;
  if (portFull) {
    first.end[p] = first.start[p];
    return;
  }
  uint16_t* const bucket = first.lids.data();
  uint32_t end = first.start[p];
  for (uint32_t i = first.start[p]; i < first.end[p]; ++i)
    if (lidMap.groupOf(bucket[i]) == ownGroup) bucket[end++] = bucket[i];
  first.end[p] = end;
}

// Every LID the level kept can no longer reach a destination from its state.
void markDead(const Level& lv) {
  for (size_t i = 0; i < lv.numKept; ++i) {
    const uint16_t lid = lv.lids[i];
    lv.dead[lid >> 6] |= uint64_t{1} << (lid & 63);
  }
}

// The LIDs that the walk carries out of port p of level lv; empty when none.
std::span<const uint16_t> lidsThrough(Level& lv, uint8_t p, const LidGroupMap& lidMap,
                                      int32_t ownGroup) {
  if (!lv.first) return {lv.lids.data() + lv.start[p], lv.start[p + 1] - lv.start[p]};
  SearchContext::FirstSwitchLids& first = *lv.first;
  uint16_t* const bucket = first.lids.data();
  uint16_t* const out = lv.lids.data();
  uint32_t i = first.start[p], end = first.end[p];
  size_t n = 0;
  while (i < end) {
    const uint16_t lid = bucket[i];
    const int32_t group = lidMap.groupOf(lid);
    if (group == LidGroupMap::kAbsent) {  // taken since: drop it for good
      bucket[i] = bucket[--end];
      continue;
    }
    out[n] = lid;
    n += group != ownGroup;
    ++i;
  }
  first.end[p] = end;
  return {out, n};
}

// Depth-first walk on from the switch already pushed as level base: least
// loaded candidate first, backtracking when a switch has none left. On
// success the egress port taken at every level counts one more flow. With
// keepDead, what the walk finds dead is kept for later walks, until a host
// is refused for this source's sake alone.
IBPort* walk(SearchContext& ctx, uint32_t base, LidGroupMap& lidMap, const SearchLimits& limits,
             const IBPort* source, int32_t ownGroup, bool keepDead) {
  uint32_t hops = base;
  for (;;) {
    Level& lv = ctx.level(hops);
    IBPort* port = nullptr;
    std::span<const uint16_t> lids;
    while (lv.next < lv.numCandidates) {
      IBPort* p = lv.node->getPort(lv.candidates[lv.next++]);
      if (p->flowCount >= limits.maxFlows) {
        if (keepDead && lv.first) dropFirstSwitchBucket(lv, p->portNumber, lidMap, ownGroup, true);
        continue;
      }
      // Every destination through p is too near: skip it (silently, so not
      // while the trace shows every port entered).
      if (limits.minDist > hops + 1 && !ctx.trace &&
          hops + ctx.reach(*lv.node, lv.table, p->portNumber) < limits.minDist)
        continue;
      lids = lidsThrough(lv, p->portNumber, lidMap, ownGroup);
      if (!lids.empty()) {
        port = p;
        break;
      }
    }
    if (!port) {
      // Nothing left to try here: back to the switch before.
      ctx.setOnPath(*lv.node, lv.table, false);
      if (hops == base) return nullptr;
      if (keepDead && lv.dead) markDead(lv);
      --hops;
      Level& back = ctx.level(hops);
      if (keepDead && back.first)
        dropFirstSwitchBucket(back, back.taken->portNumber, lidMap, ownGroup, false);
      continue;
    }
    lv.taken = port;
    IBPort& next = *port->remote;
    if (ctx.trace) trace(next, lids.size());
    if (!next.owner->isSwitch()) {
      bool bySource = false;
      if (!takeHost(next, hops + 1, lids, lidMap, limits, source, ownGroup, &bySource)) {
        keepDead = keepDead && !bySource;
        if (keepDead && lv.first)
          dropFirstSwitchBucket(lv, port->portNumber, lidMap, ownGroup, false);
        continue;
      }
      for (uint32_t h = base; h <= hops; ++h) {
        Level& done = ctx.level(h);
        ++done.taken->flowCount;
        ctx.setOnPath(*done.node, done.table, false);
      }
      return &next;
    }
    if (pushSwitch(ctx, next, hops + 1, lids, limits, keepDead)) {
      ++hops;
    } else if (keepDead && lv.first) {
      dropFirstSwitchBucket(lv, port->portNumber, lidMap, ownGroup, false);
    }
  }
}

}  // namespace

IBPort* dfsAndGetFreeDstPath(SearchContext& ctx, IBPort& inPort, uint32_t hops,
                             std::span<const uint16_t> dstLids, LidGroupMap& lidMap,
                             const SearchLimits& limits) {
  if (ctx.trace) trace(inPort, dstLids.size());
  const int32_t anyGroup = LidGroupMap::kAbsent;
  if (!inPort.owner->isSwitch())
    return takeHost(inPort, hops, dstLids, lidMap, limits, nullptr, anyGroup);
  if (!pushSwitch(ctx, inPort, hops, dstLids, limits, false)) return nullptr;
  return walk(ctx, hops, lidMap, limits, nullptr, anyGroup, false);
}

DstSearchResult findDstForSrc(SearchContext& ctx, std::string_view srcGroup, IBPort& src,
                              LidGroupMap& lidMap, const SearchLimits& limits) {
  DstSearchResult result;
  IBPort* first = src.remote;
  if (!first) {
    result.error = "-E- No remote port for src: " + src.getName();
    return result;
  }
  if (!first->owner || !first->owner->isSwitch()) {
    result.error = "-E- Remote node is not a switch for src: " + src.getName();
    return result;
  }
  const int32_t ownGroup = lidMap.findGroup(srcGroup);
  if (ctx.trace) trace(*first, lidMap.size() - lidMap.groupSize(ownGroup));
  if (pushFirstSwitch(ctx, *first, lidMap, limits)) {
    const bool keepDead = ctx.keepDeadLids(lidMap, limits);
    result.dst = walk(ctx, 1, lidMap, limits, &src, ownGroup, keepDead);
  }
  return result;
}
