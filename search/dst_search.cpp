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

IBPort* dfsAndGetFreeDstPath(SearchContext& ctx, IBPort& inPort, uint32_t hops,
                             std::span<const uint16_t> dstLids, LidGroupMap& lidMap,
                             const SearchLimits& limits) {
  if (verbose) {
    std::printf("-V- dfsAndGetFreeDstPath inPort:%s num-dsts:%zu\n", inPort.getName().c_str(),
                dstLids.size());
    std::fflush(stdout);
  }
  IBNode& node = *inPort.owner;
  if (!node.isSwitch()) return takeHost(inPort, hops, dstLids, lidMap, limits);

  const uint8_t table = node.tableForIngress(inPort.portNumber);
  // Back at a switch already on the path with the same table: a forwarding
  // loop, which can only repeat what the earlier visit is trying.
  if (ctx.onPath(node, table)) return nullptr;

  SearchContext::Level& lv = ctx.level(hops);

  // Usable ports ordered by flow count, ties by port number: a stable
  // insertion sort of at most 255 entries.
  unsigned numCandidates = 0;
  bool anyBelowMax = false;
  for (unsigned n = 1; n <= node.portCount; ++n) {
    IBPort* port = node.getPort(n);
    if (!port || !port->remote) continue;
    anyBelowMax |= port->flowCount < limits.maxFlows;
    unsigned i = numCandidates++;
    while (i > 0 && lv.candidates[i - 1]->flowCount > port->flowCount) {
      lv.candidates[i] = lv.candidates[i - 1];
      --i;
    }
    lv.candidates[i] = port;
  }
  if (!anyBelowMax || dstLids.empty()) return nullptr;

  // One pass over the LIDs splits them by egress port (counting sort), so each
  // candidate's subset is a slice instead of a scan of the whole set.
  const std::span<const uint8_t> lft = node.lft(table);
  const size_t numLids = dstLids.size();
  if (lv.lids.size() < numLids) {
    lv.lids.resize(numLids);
    lv.egress.resize(numLids);
  }
  std::array<uint32_t, 257> count{};
  for (size_t i = 0; i < numLids; ++i) {
    uint16_t lid = dstLids[i];
    uint8_t port = lid < lft.size() ? lft[lid] : kLftNoEntry;
    lv.egress[i] = port;
    ++count[port + 1];
  }
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  lv.start = count;
  for (size_t i = 0; i < numLids; ++i) lv.lids[count[lv.egress[i]]++] = dstLids[i];

  ctx.setOnPath(node, table, true);
  IBPort* found = nullptr;
  for (unsigned c = 0; c < numCandidates && !found; ++c) {
    IBPort* port = lv.candidates[c];
    if (port->flowCount >= limits.maxFlows) continue;
    const uint32_t begin = lv.start[port->portNumber];
    const uint32_t end = lv.start[port->portNumber + 1];
    if (begin == end) continue;
    std::span<const uint16_t> subset(lv.lids.data() + begin, end - begin);
    found = dfsAndGetFreeDstPath(ctx, *port->remote, hops + 1, subset, lidMap, limits);
    if (found) ++port->flowCount;
  }
  ctx.setOnPath(node, table, false);
  return found;
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
  // Every free LID outside the source's own group.
  const int32_t ownGroup = lidMap.findGroup(srcGroup);
  SearchContext::Level& root = ctx.level(0);
  root.lids.resize(lidMap.size());
  size_t n = 0;
  for (uint16_t lid : lidMap.lids()) {
    root.lids[n] = lid;
    n += lidMap.groupOf(lid) != ownGroup;
  }
  result.dst = dfsAndGetFreeDstPath(ctx, *first, 1, std::span<const uint16_t>(root.lids.data(), n),
                                    lidMap, limits);
  return result;
}
