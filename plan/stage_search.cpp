#include "plan/stage_search.h"

#include <algorithm>

StageSearch::StageSearch(const PlanRoutes& routes, const Hosts& hosts, const Coverable& c,
                         const PlanSettings& settings, bool keepDeadLids)
    : r_(routes),
      h_(hosts),
      c_(c),
      settings_(settings),
      load_(routes.fabric.ports().size(), 0),
      covered_(routes.fabric.ports().size(), 0),
      onPath_(routes.states.size(), 0),
      sent_(c.hosts.size(), 0),
      received_(c.hosts.size(), 0),
      done_(c.hosts.size(), 0),
      takenInStage_(c.hosts.size(), 0),
      originLids_(hosts.origins.size()),
      keepDead_(keepDeadLids && settings.minDist == 0) {
  // Walks carry target LIDs only: rows end at the highest.
  for (size_t lid = 0; lid < hosts.ofLid.size(); ++lid)
    if (hosts.ofLid[lid] >= 0) deadWords_ = lid / 64 + 1;
  // Ports no valid pair can cross are not worth steering towards.
  for (size_t e = 0; e < covered_.size(); ++e) {
    covered_[e] = !c.port[e];
    left_ += c.port[e];
  }
  for (size_t i = 0; i < c.hosts.size(); ++i) {
    left_ += c.send[i] + c.receive[i];
    done_[i] = !c.send[i] && !c.receive[i];
  }
}

// For every origin, the target LIDs whose routes from it cross a port not
// yet covered. Resolved LID by LID, remembering for each switch state on
// the way whether the rest of the route crosses one.
void StageSearch::findUsefulLids() {
  usefulLids_.assign(h_.origins.size(), {});
  if (routeStamp_.empty()) {
    routeStamp_.assign(r_.states.size(), 0);
    routeUseful_.assign(r_.states.size(), 0);
  }
  std::vector<uint32_t> walk;
  for (uint32_t lid = 0; lid < h_.ofLid.size(); ++lid) {
    if (h_.ofLid[lid] < 0) continue;
    ++stamp_;
    for (size_t o = 0; o < h_.origins.size(); ++o) {
      walk.clear();
      uint8_t useful = 0;
      for (uint32_t st = h_.origins[o].state;;) {
        if (routeStamp_[st] == stamp_) {
          useful = routeUseful_[st];  // resolved, or 0 for a loop on this walk
          break;
        }
        routeStamp_[st] = stamp_;
        routeUseful_[st] = 0;
        walk.push_back(st);
        const IBPort* out = r_.states.linkedEgress(st, static_cast<uint16_t>(lid));
        if (!out) break;
        if (!covered_[r_.portIndex(out)]) {
          useful = 1;
          break;
        }
        if (!out->remote->owner->isSwitch()) break;
        st = r_.states.stateFor(*out->remote);
      }
      for (uint32_t st : walk) routeUseful_[st] = useful;
      if (useful) usefulLids_[o].push_back(static_cast<uint16_t>(lid));
    }
  }
}

StageResult StageSearch::nextStage() {
  ++stage_;
  StageResult result;
  std::fill(load_.begin(), load_.end(), 0);
  // Sources that have not sent go first, each kind in a shuffled order that
  // is the same on every run.
  std::vector<int32_t> order;
  for (size_t i = 0; i < c_.hosts.size(); ++i)
    if (c_.send[i]) order.push_back(static_cast<int32_t>(i));
  for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[rng_() % i]);
  std::stable_partition(order.begin(), order.end(), [&](int32_t s) { return !sent_[s]; });
  if (stage_ > 1) findUsefulLids();
  if (keepDead_) dead_.assign(r_.states.size() * 2 * deadWords_, 0);

  // First only pairs whose destination has not received yet, so that
  // senders and receivers still missing meet each other; then any pair
  // that covers something.
  std::vector<uint8_t> paired(c_.hosts.size(), 0);
  for (newReceiverOnly_ = true;; newReceiverOnly_ = false) {
    for (int32_t s : order) {
      if (left_ == 0) break;
      if (!paired[s]) paired[s] = addPair(s, result);
    }
    if (!newReceiverOnly_) break;
  }
  linksCovered_ += result.newLinks;
  hostsCovered_ += result.newHosts;
  result.linksCovered = linksCovered_;
  result.hostsCovered = hostsCovered_;
  return result;
}

// Looks for a destination for source s; books and counts the pair found.
bool StageSearch::addPair(int32_t s, StageResult& result) {
  path_.clear();
  uint16_t dlid = 0;
  const int32_t d = findDestination(s, dlid);
  if (d < 0) return false;
  result.pairs.push_back({c_.hosts[s], c_.hosts[d], dlid});
  for (const IBPort* e : path_) {
    uint8_t& cov = covered_[r_.portIndex(e)];
    if (!cov) {
      cov = 1;
      --left_;
      ++result.newLinks;
    }
  }
  if (!sent_[s]) {
    sent_[s] = 1;
    --left_;
    ++result.newLinks;  // the source's own link, host to switch
  }
  if (!received_[d] && c_.receive[d]) {
    received_[d] = 1;
    --left_;
  }
  result.newHosts += finishHost(s) + finishHost(d);
  return true;
}

StageSearch::Level& StageSearch::level(uint32_t hops) {
  while (levels_.size() <= hops) levels_.emplace_back();
  return levels_[hops];
}

// Dead for a walk arriving useful is dead for one that is not.
bool StageSearch::isDead(uint32_t state, bool useful, uint16_t lid) const {
  if (!keepDead_) return false;
  const auto bit = [&](const uint64_t* row) { return (row[lid >> 6] >> (lid & 63)) & 1; };
  return bit(deadRow(state, true)) || (!useful && bit(deadRow(state, false)));
}

// The port the level tried last led to no pair for any LID it carried.
void StageSearch::markDead(const Level& lv) {
  if (!keepDead_) return;
  uint64_t* row = dead_.data() + (size_t{lv.state} * 2 + lv.useful) * deadWords_;
  for (uint16_t lid : lv.tried) row[lid >> 6] |= uint64_t{1} << (lid & 63);
}

bool StageSearch::freeFor(uint16_t lid, int32_t ownGroup) const {
  const int32_t d = h_.ofLid[lid];
  return d >= 0 && takenInStage_[d] != stage_ && c_.hostGroup[d] != ownGroup &&
         !(newReceiverOnly_ && received_[d]);
}

uint32_t StageSearch::finishHost(int32_t i) {
  if (done_[i] || (c_.send[i] && !sent_[i]) || (c_.receive[i] && !received_[i])) return 0;
  done_[i] = 1;
  return 1;
}

// The linked egress ports of node below the flow limit: uncovered ones
// first, then those that lead on longer, then the least loaded, then by
// port number. Returns how many.
unsigned StageSearch::candidatesOf(const IBNode& node, std::array<const IBPort*, 256>& out) const {
  unsigned count = 0;
  auto key = [&](const IBPort* p) {
    const size_t e = r_.portIndex(p);
    const uint64_t shorter = UINT16_MAX - std::min<uint32_t>(h_.linksBeyond[e], UINT16_MAX);
    return (uint64_t{covered_[e]} << 63) | (shorter << 32) | load_[e];
  };
  for (unsigned n = 1; n <= node.portCount; ++n) {
    const IBPort* p = linkedPort(node, n);
    if (!p || load_[r_.portIndex(p)] >= settings_.maxFlows) continue;
    unsigned i = count++;
    while (i > 0 && key(out[i - 1]) > key(p)) {
      out[i] = out[i - 1];
      --i;
    }
    out[i] = p;
  }
  return count;
}

const StageSearch::OriginLids& StageSearch::originLids(int32_t o) {
  OriginLids& ol = originLids_[static_cast<size_t>(o)];
  if (ol.built) return ol;
  ol.built = true;
  const uint32_t state = h_.origins[static_cast<size_t>(o)].state;
  const IBNode& node = r_.states.node(state);
  const std::span<const uint8_t> lft = node.lft(r_.states.table(state));
  std::array<uint32_t, 257> count{};
  auto egressOf = [&](uint32_t lid) -> unsigned {
    const uint8_t p = lid < lft.size() ? lft[lid] : kLftNoEntry;
    return linkedPort(node, p) ? p : 0;
  };
  for (uint32_t lid = 0; lid < lft.size(); ++lid)
    if (h_.ofLid[lid] >= 0) ++count[egressOf(lid) + 1];
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  ol.start = count;
  ol.lids.resize(count[256]);
  for (uint32_t lid = 0; lid < lft.size(); ++lid)
    if (h_.ofLid[lid] >= 0) ol.lids[count[egressOf(lid)]++] = static_cast<uint16_t>(lid);
  return ol;
}

// A source that has sent already only helps through an uncovered port, so
// it carries only the LIDs whose routes from its first switch cross one. A
// source that has not sent covers its own link with any pair.
int32_t StageSearch::findDestination(int32_t s, uint16_t& dlid) {
  const int32_t o = h_.origin[s];
  const int32_t ownGroup = c_.hostGroup[s];
  if (sent_[s]) {
    std::vector<uint16_t>& carried = level(0).lids;
    carried.clear();
    for (uint16_t lid : usefulLids_[static_cast<size_t>(o)])
      if (freeFor(lid, ownGroup)) carried.push_back(lid);
    if (carried.empty() || !enterSwitch(*c_.hosts[s]->remote, 1, carried, false)) return -1;
    return walk(1, dlid);
  }
  const uint32_t state = h_.origins[static_cast<size_t>(o)].state;
  Level& lv = level(1);
  lv.candidates = candidatesOf(r_.states.node(state), lv.candidate);
  const OriginLids& ol = originLids(o);
  if (lv.lids.size() < ol.lids.size()) lv.lids.resize(ol.lids.size());
  lv.state = state;
  lv.useful = true;
  lv.next = 0;
  lv.fromOrigin = &ol;
  lv.ownGroup = ownGroup;
  onPath_[state] = 1;
  return walk(1, dlid);
}

// Opens the level of the switch that in belongs to, hops links from the
// source: false when its state is on the path already or no egress port is
// open.
bool StageSearch::enterSwitch(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried,
                              bool useful) {
  const uint32_t state = r_.states.stateFor(in);
  if (onPath_[state]) return false;
  const IBNode& node = *in.owner;
  Level& lv = level(hops);
  lv.candidates = candidatesOf(node, lv.candidate);
  if (lv.candidates == 0) return false;

  // Split the carried LIDs by egress port in one counting-sort pass.
  std::array<bool, 257> open{};
  for (unsigned i = 0; i < lv.candidates; ++i) open[lv.candidate[i]->portNumber] = true;
  open[kLftNoEntry] = false;
  const std::span<const uint8_t> lft = node.lft(r_.states.table(state));
  auto egressOf = [&](uint16_t lid) -> unsigned {
    const uint8_t p = lid < lft.size() ? lft[lid] : kLftNoEntry;
    return open[p] && !isDead(state, useful, lid) ? p : 0;
  };
  std::array<uint32_t, 257> count{};
  for (uint16_t lid : carried) ++count[egressOf(lid) + 1];
  for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
  lv.start = count;
  if (lv.lids.size() < carried.size()) lv.lids.resize(carried.size());
  for (uint16_t lid : carried) lv.lids[count[egressOf(lid)]++] = lid;

  lv.state = state;
  lv.useful = useful;
  lv.next = 0;
  lv.fromOrigin = nullptr;
  onPath_[state] = 1;
  return true;
}

// The carried LIDs that a level forwards through its egress port p.
std::span<const uint16_t> StageSearch::lidsThrough(Level& lv, const IBPort& p) const {
  if (!lv.fromOrigin) {
    const uint32_t begin = lv.start[p.portNumber], end = lv.start[p.portNumber + 1u];
    return {lv.lids.data() + begin, end - begin};
  }
  const OriginLids& ol = *lv.fromOrigin;
  size_t k = 0;
  for (uint32_t j = ol.start[p.portNumber]; j < ol.start[p.portNumber + 1u]; ++j) {
    lv.lids[k] = ol.lids[j];
    k += freeFor(ol.lids[j], lv.ownGroup) && !isDead(lv.state, true, ol.lids[j]);
  }
  return {lv.lids.data(), k};
}

// The depth-first walk from the open level first, with a stack of levels
// rather than of calls: a route may cross thousands of switches. Returns
// the destination found, or -1; path_ then holds the egress ports taken,
// last first, each booked.
int32_t StageSearch::walk(uint32_t first, uint16_t& dlid) {
  for (uint32_t hops = first;;) {
    Level& lv = levels_[hops];
    const IBPort* p = nullptr;
    std::span<const uint16_t> carried;
    while (!p && lv.next < lv.candidates) {
      p = lv.candidate[lv.next++];
      carried = lidsThrough(lv, *p);
      if (carried.empty()) p = nullptr;
    }
    if (!p) {  // every egress port tried: back one switch
      onPath_[lv.state] = 0;
      if (hops == first) return -1;
      --hops;
      markDead(levels_[hops]);
      continue;
    }
    lv.tried = carried;
    const bool useful = lv.useful || !covered_[r_.portIndex(p)];
    const IBPort& in = *p->remote;
    if (in.owner->isSwitch()) {
      if (enterSwitch(in, hops + 1, carried, useful)) {
        ++hops;
      } else {
        markDead(lv);
      }
      continue;
    }
    const int32_t d = takeHost(in, hops + 1, carried, useful, dlid);
    if (d < 0) {
      markDead(lv);
      continue;
    }
    for (uint32_t k = hops + 1; k-- > first;) {
      book(levels_[k].candidate[levels_[k].next - 1]);
      onPath_[levels_[k].state] = 0;
    }
    return d;
  }
}

void StageSearch::book(const IBPort* p) {
  ++load_[r_.portIndex(p)];
  path_.push_back(p);
}

// The walk arrived at a host: a destination if grouped, far enough, worth
// it, and really the owner of a LID the walk carried (inconsistent tables
// may deliver a LID to the wrong host).
int32_t StageSearch::takeHost(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried,
                              bool useful, uint16_t& dlid) {
  const int32_t d = h_.ofPort[r_.portIndex(&in)];
  if (d < 0 || !useful || hops < settings_.minDist) return -1;
  for (uint16_t lid : carried) {
    if (h_.ofLid[lid] == d) {
      dlid = lid;
      takenInStage_[d] = stage_;
      return d;
    }
  }
  return -1;
}
