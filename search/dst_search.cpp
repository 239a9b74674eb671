#include "search/dst_search.h"

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

namespace {

// The LIDs a walk carries into a port: a slice of the previous switch's
// partition, or, at the source's own switch, the map's free LIDs minus those
// of the source's group, read in place so the full set is never copied.
struct CarriedLids {
  std::span<const uint16_t> lids;
  const LidGroupMap* skipFrom = nullptr;  // set: leave out LIDs of skipGroup
  int32_t skipGroup = LidGroupMap::kAbsent;

  size_t count() const {
    if (!skipFrom) return lids.size();
    size_t n = 0;
    for (uint16_t lid : lids) n += skipFrom->groupOf(lid) != skipGroup;
    return n;
  }
};

IBPort* enter(SearchContext& ctx, IBPort& inPort, uint32_t hops, const CarriedLids& carried,
              LidGroupMap& lidMap, const SearchLimits& limits) {
  if (verbose) {
    std::printf("-V- dfsAndGetFreeDstPath inPort:%s num-dsts:%zu\n", inPort.getName().c_str(),
                carried.count());
    std::fflush(stdout);
  }
  IBNode& node = *inPort.owner;
  if (!node.isSwitch()) return takeHost(inPort, hops, carried.lids, lidMap, limits);

  const uint8_t table = node.tableForIngress(inPort.portNumber);
  // Back at a switch already on the path with the same table: a forwarding
  // loop, which can only repeat what the earlier visit is trying.
  if (ctx.onPath(node, table)) return nullptr;

  SearchContext::Level& lv = ctx.level(hops);

  // Usable ports ordered by flow count, ties by port number: a stable
  // insertion sort of at most 255 entries. Only those below the limit get a
  // bucket in the partition below.
  unsigned numCandidates = 0;
  std::array<bool, 256> open{};
  bool anyOpen = false;
  for (unsigned n = 1; n <= node.portCount; ++n) {
    IBPort* port = node.getPort(n);
    if (!port || !port->remote) continue;
    if (port->flowCount < limits.maxFlows) open[n] = anyOpen = true;
    unsigned i = numCandidates++;
    while (i > 0 && lv.candidates[i - 1]->flowCount > port->flowCount) {
      lv.candidates[i] = lv.candidates[i - 1];
      --i;
    }
    lv.candidates[i] = port;
  }
  if (!anyOpen || carried.lids.empty()) return nullptr;

  // One pass over the LIDs splits them by egress port (counting sort), so each
  // candidate's subset is a slice instead of a scan of the whole set. LIDs
  // for ports that cannot take a flow are dropped here.
  const std::span<const uint8_t> lft = node.lft(table);
  const uint8_t* const table0 = lft.data();
  const size_t tableSize = lft.size();
  auto egressOf = [&](uint16_t lid) { return lid < tableSize ? table0[lid] : kLftNoEntry; };
  const size_t numLids = carried.lids.size();
  if (lv.lids.size() < numLids) {
    lv.lids.resize(numLids);
    lv.kept.resize(numLids);
  }
  // Raw pointers: stores through them cannot alias the vectors' own fields.
  uint16_t* const kept = lv.kept.data();
  uint16_t* const out = lv.lids.data();
  std::array<uint32_t, 257> count{};
  size_t numKept = 0;
  if (carried.skipFrom) {
    const LidGroupMap& map = *carried.skipFrom;
    for (uint16_t lid : carried.lids) {
      const uint8_t port = egressOf(lid);
      const bool keep = open[port] && map.groupOf(lid) != carried.skipGroup;
      kept[numKept] = lid;
      numKept += keep;
      count[port + 1] += keep;
    }
  } else {
    for (uint16_t lid : carried.lids) {
      const uint8_t port = egressOf(lid);
      kept[numKept] = lid;
      numKept += open[port];
      count[port + 1] += open[port];
    }
  }
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  lv.start = count;
  for (size_t i = 0; i < numKept; ++i) out[count[egressOf(kept[i])]++] = kept[i];

  ctx.setOnPath(node, table, true);
  IBPort* found = nullptr;
  for (unsigned c = 0; c < numCandidates && !found; ++c) {
    IBPort* port = lv.candidates[c];
    if (port->flowCount >= limits.maxFlows) continue;
    const uint32_t begin = lv.start[port->portNumber];
    const uint32_t end = lv.start[port->portNumber + 1];
    if (begin == end) continue;
    CarriedLids subset{std::span<const uint16_t>(lv.lids.data() + begin, end - begin)};
    found = enter(ctx, *port->remote, hops + 1, subset, lidMap, limits);
    if (found) ++port->flowCount;
  }
  ctx.setOnPath(node, table, false);
  return found;
}

}  // namespace

IBPort* dfsAndGetFreeDstPath(SearchContext& ctx, IBPort& inPort, uint32_t hops,
                             std::span<const uint16_t> dstLids, LidGroupMap& lidMap,
                             const SearchLimits& limits) {
  return enter(ctx, inPort, hops, CarriedLids{dstLids}, lidMap, limits);
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
  const CarriedLids all{lidMap.lids(), &lidMap, lidMap.findGroup(srcGroup)};
  result.dst = enter(ctx, *first, 1, all, lidMap, limits);
  return result;
}
