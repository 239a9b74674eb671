#include "search/dst_search.h"

#include <algorithm>
#include <cstdio>

#include "cli/options.h"

SearchContext::SearchContext(const IBFabric& fabric)
    : firstNode_(fabric.nodes().data()), tablesOnPath_(fabric.nodes().size()) {}

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

// The walk arrived at a host port: it is the destination if far enough and if
// it really owns a LID the walk was carrying (inconsistent tables may deliver
// a LID to the wrong host).
static IBPort* takeHost(IBPort& port, uint32_t hops, std::span<const uint16_t> dstLids,
                        LidGroupMap& lidMap, const SearchLimits& limits) {
  if (hops < limits.minDist || port.baseLid == 0) return nullptr;
  const uint32_t count = lidsPerPort(limits.lmc);
  bool owns = false;
  for (uint16_t lid : dstLids) {
    if (static_cast<uint16_t>(lid - port.baseLid) < count) {
      owns = true;
      break;
    }
  }
  if (!owns) return nullptr;
  for (uint32_t k = 0; k < count; ++k) lidMap.erase(static_cast<uint16_t>(port.baseLid + k));
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
    count[port + 1] += port >= 1 && port <= node.portCount;
  }
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  f.lids.resize(count[256]);
  std::copy_n(count.begin(), 256, f.start.begin());
  std::copy_n(count.begin() + 1, 256, f.end.begin());
  for (uint16_t lid : lidMap.lids()) {
    const uint8_t port = egressOf(lid);
    if (port >= 1 && port <= node.portCount) f.lids[count[port]++] = lid;
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
                         std::array<IBPort*, 256>& candidates, std::array<bool, 256>& open,
                         bool& anyOpen) {
  unsigned numCandidates = 0;
  open.fill(false);
  anyOpen = false;
  for (unsigned n = 1; n <= node.portCount; ++n) {
    IBPort* port = node.getPort(n);
    if (!port || !port->remote) continue;
    if (port->flowCount < limits.maxFlows) open[n] = anyOpen = true;
    unsigned i = numCandidates++;
    while (i > 0 && candidates[i - 1]->flowCount > port->flowCount) {
      candidates[i] = candidates[i - 1];
      --i;
    }
    candidates[i] = port;
  }
  return numCandidates;
}

IBPort* enter(SearchContext& ctx, IBPort& inPort, uint32_t hops, std::span<const uint16_t> carried,
              LidGroupMap& lidMap, const SearchLimits& limits) {
  if (verbose) trace(inPort, carried.size());
  IBNode& node = *inPort.owner;
  if (!node.isSwitch()) return takeHost(inPort, hops, carried, lidMap, limits);

  const uint8_t table = node.tableForIngress(inPort.portNumber);
  // Back at a switch already on the path with the same table: a forwarding
  // loop, which can only repeat what the earlier visit is trying.
  if (ctx.onPath(node, table)) return nullptr;

  SearchContext::Level& lv = ctx.level(hops);
  std::array<bool, 256> open;
  bool anyOpen;
  const unsigned numCandidates = orderCandidates(node, limits, lv.candidates, open, anyOpen);
  if (!anyOpen || carried.empty()) return nullptr;

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
  for (uint16_t lid : carried) {
    const uint8_t port = egressOf(lid);
    kept[numKept] = lid;
    numKept += open[port];
    count[port + 1] += open[port];
  }
  for (unsigned p = 1; p < numBuckets; ++p) count[p] += count[p - 1];
  std::copy_n(count.begin(), numBuckets, lv.start.begin());
  for (size_t i = 0; i < numKept; ++i) out[count[egressOf(kept[i])]++] = kept[i];

  ctx.setOnPath(node, table, true);
  IBPort* found = nullptr;
  for (unsigned c = 0; c < numCandidates && !found; ++c) {
    IBPort* port = lv.candidates[c];
    if (port->flowCount >= limits.maxFlows) continue;
    const uint32_t begin = lv.start[port->portNumber];
    const uint32_t end = lv.start[port->portNumber + 1];
    if (begin == end) continue;
    found = enter(ctx, *port->remote, hops + 1,
                  std::span<const uint16_t>(lv.lids.data() + begin, end - begin), lidMap, limits);
    if (found) ++port->flowCount;
  }
  ctx.setOnPath(node, table, false);
  return found;
}

// The source's own switch. Its LID set would be every free LID outside the
// source's group; instead of splitting that set afresh for every source, each
// candidate's subset is read from the switch's cached buckets, and only for
// the candidates the walk actually tries.
IBPort* enterFirstSwitch(SearchContext& ctx, IBPort& inPort, int32_t ownGroup, LidGroupMap& lidMap,
                         const SearchLimits& limits) {
  if (verbose) trace(inPort, lidMap.size() - lidMap.groupSize(ownGroup));
  IBNode& node = *inPort.owner;
  const uint8_t table = node.tableForIngress(inPort.portNumber);
  SearchContext::Level& lv = ctx.level(1);
  std::array<bool, 256> open;
  bool anyOpen;
  const unsigned numCandidates = orderCandidates(node, limits, lv.candidates, open, anyOpen);
  if (!anyOpen) return nullptr;

  SearchContext::FirstSwitchLids& first = ctx.firstSwitchLids(node, table, lidMap);
  if (lv.lids.size() < first.lids.size()) lv.lids.resize(first.lids.size());
  uint16_t* const bucket = first.lids.data();
  uint16_t* const out = lv.lids.data();
  ctx.setOnPath(node, table, true);
  IBPort* found = nullptr;
  for (unsigned c = 0; c < numCandidates && !found; ++c) {
    IBPort* port = lv.candidates[c];
    if (port->flowCount >= limits.maxFlows) continue;
    const uint8_t p = port->portNumber;
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
    if (n == 0) continue;
    found = enter(ctx, *port->remote, 2, std::span<const uint16_t>(out, n), lidMap, limits);
    if (found) ++port->flowCount;
  }
  ctx.setOnPath(node, table, false);
  return found;
}

}  // namespace

IBPort* dfsAndGetFreeDstPath(SearchContext& ctx, IBPort& inPort, uint32_t hops,
                             std::span<const uint16_t> dstLids, LidGroupMap& lidMap,
                             const SearchLimits& limits) {
  return enter(ctx, inPort, hops, dstLids, lidMap, limits);
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
  result.dst = enterFirstSwitch(ctx, *first, lidMap.findGroup(srcGroup), lidMap, limits);
  return result;
}
