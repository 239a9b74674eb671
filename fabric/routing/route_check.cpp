// Host-to-host route check over the forwarding tables.
//
// A packet's next hop depends only on the switch it is in, the table its
// ingress port selects and the destination LID. So per destination, each
// (switch, table) state has one outcome, whichever source reached it: the
// check remembers that outcome and costs about states x destinations rather
// than sources x destinations x path length.
//
// Tables are indexed by LID, so the check first visits the destinations in
// LID order, 64 LIDs at a time: one pass over each state's 64 table bytes
// says where it sends each, and which states deliver which of the 64 is
// propagated back from the hops that deliver, as bits. Only the destinations
// found broken are visited again, in host order, for the lines.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fabric/routing/route_check.h"

#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"
#include "fabric/routing/route_walk.h"

namespace {

constexpr size_t kShownLines = 20;
constexpr uint32_t kNoState = UINT32_MAX;

enum Status : uint8_t { kInProgress, kComplete, kBroken };

class RouteChecker {
 public:
  explicit RouteChecker(IBFabric& fabric) : fabric_(fabric), states_(fabric) {
    size_t states = states_.size();
    epoch_.assign(states, 0);
    status_.assign(states, kInProgress);
    failedAt_.assign(states, kNoState);
    std::vector<bool> entryListed(states);
    sourcesAt_.assign(states, 0);

    for (IBPort& port : fabric.ports()) {
      if (port.owner->isSwitch() || !port.remote || port.baseLid == 0) continue;
      hosts_.push_back(&port);
      uint32_t entry = kNoState;
      if (port.remote->owner->isSwitch()) entry = states_.stateFor(*port.remote);
      hostEntry_.push_back(entry);
      if (entry == kNoState) {
        ++cabledToHost_;
      } else {
        ++sourcesAt_[entry];
        if (!entryListed[entry]) {
          entryListed[entry] = true;
          entries_.push_back(entry);
        }
      }
    }
  }

  // Counts the missing routes. While wantLines() says so, also calls
  // broken(source, destination, reason text) for each, destinations in host
  // order; after that a destination's broken routes are only counted, by
  // entry state, so a fabric where nothing is routed costs no more than one
  // where everything is.
  template <typename WantLines, typename OnBroken>
  size_t run(WantLines&& wantLines, OnBroken&& broken) {
    // Pass 1, in LID order: which destinations have broken routes, and how
    // many; one at a time only those the blocks leave over.
    std::vector<size_t> brokenTo(hosts_.size(), 0);
    std::vector<bool> anyBroken(hosts_.size(), false);
    std::vector<uint32_t> byLid;
    checkInBlocks(brokenTo, anyBroken, byLid);
    std::stable_sort(byLid.begin(), byLid.end(), [&](uint32_t a, uint32_t b) {
      return hosts_[a]->baseLid < hosts_[b]->baseLid;
    });
    // Entry states in state order here: whether a route breaks does not
    // depend on the order, only which state a loop is reported at does.
    std::vector<uint32_t> entriesInOrder = entries_;
    std::sort(entriesInOrder.begin(), entriesInOrder.end());
    for (uint32_t d : byLid) {
      if (!evaluateAll(*hosts_[d], entriesInOrder)) continue;
      anyBroken[d] = true;
      brokenTo[d] = countBroken(d, [&](uint32_t e) { return status_[e] == kBroken; });
    }

    // Pass 2, in host order: the lines, then only the counts.
    size_t total = 0;
    for (size_t d = 0; d < hosts_.size(); ++d) {
      if (!anyBroken[d]) continue;
      if (!wantLines()) {
        total += brokenTo[d];
        continue;
      }
      const IBPort* dst = hosts_[d];
      evaluateAll(*dst, entries_);
      for (size_t s = 0; s < hosts_.size(); ++s) {
        if (s == d) continue;
        const IBPort* src = hosts_[s];
        uint32_t entry = hostEntry_[s];
        if (entry == kNoState) {
          if (src->remote != dst) {
            RouteWalk cabled;
            cabled.end = RouteEnd::kArrived;
            cabled.arrived = src->remote;
            broken(*src, *dst, describeRouteWalk(cabled, *src, *dst));
            ++total;
          }
        } else if (status_[entry] == kBroken) {
          const uint32_t at = failedAt_[entry];
          const RouteWalk end = routeEndAt(states_.node(at), states_.table(at), dst->baseLid);
          broken(*src, *dst, describeRouteWalk(end, *src, *dst));
          ++total;
        }
      }
    }
    return total;
  }

 private:
  // Broken routes towards hosts_[d], given which entry states' routes to it
  // break: the sources of every broken entry state, and the sources cabled to
  // a host other than the destination.
  template <typename Broken>
  size_t countBroken(size_t d, Broken&& broken) const {
    size_t count = 0;
    for (uint32_t e : entries_)
      if (broken(e)) count += sourcesAt_[e];
    if (hostEntry_[d] != kNoState) {
      count -= broken(hostEntry_[d]);  // the destination is no source of its own
      return count + cabledToHost_;
    }
    const IBPort* peer = hosts_[d]->remote;  // cabled straight to the destination: complete
    bool peerIsSource = !peer->owner->isSwitch() && peer->baseLid != 0;
    return count + cabledToHost_ - 1 - peerIsSource;
  }

  bool known(uint32_t state) const { return epoch_[state] == epoch_now_; }

  // Outcomes of hop() besides a next state.
  static constexpr uint32_t kArrived = UINT32_MAX - 1;
  static constexpr uint32_t kDeadEnd = UINT32_MAX - 2;

  uint32_t portIndex(const IBPort& p) const {
    return static_cast<uint32_t>(&p - fabric_.ports().data());
  }

  // The state after one hop from state towards lid, whose owner is the host
  // port with index dst; kArrived there, kDeadEnd at a dead end or another
  // host.
  uint32_t hop(uint32_t state, uint16_t lid, uint32_t dst) const {
    const uint32_t to = states_.hop(state, lid);
    if (to == ForwardingStates::kDeadEnd) return kDeadEnd;
    if (to & ForwardingStates::kHostBit)
      return (to & ~ForwardingStates::kHostBit) == dst ? kArrived : kDeadEnd;
    return to;
  }

  // Pass 1 for 64 LIDs at a time. Bit k of delivers[s] says that the route
  // from state s delivers LID base + k to the one host whose base LID it is:
  // set where the hop itself arrives, then carried back along the hops until
  // nothing changes (a loop never gains a bit). Hosts sharing a base LID, and
  // blocks that take too many sweeps (routes through long chains of
  // switches), are left in rest for the one-at-a-time walk.
  void checkInBlocks(std::vector<size_t>& brokenTo, std::vector<bool>& anyBroken,
                     std::vector<uint32_t>& rest) {
    constexpr int32_t kNone = -1, kShared = -2;
    constexpr int kMaxSweeps = 32;
    std::vector<int32_t> hostOfLid(size_t{1} << 16, kNone);
    for (uint32_t d = 0; d < hosts_.size(); ++d) {
      int32_t& h = hostOfLid[hosts_[d]->baseLid];
      h = h == kNone ? static_cast<int32_t>(d) : kShared;
    }
    for (uint32_t d = 0; d < hosts_.size(); ++d)
      if (hostOfLid[hosts_[d]->baseLid] == kShared) rest.push_back(d);

    struct Edge {
      uint32_t next;  // the state the LIDs go on to
      uint64_t lids;
    };
    const uint32_t numStates = static_cast<uint32_t>(states_.size());
    std::vector<uint64_t> delivers(numStates);
    std::vector<uint32_t> firstEdge(numStates + size_t{1});
    std::vector<Edge> edges;
    std::array<uint64_t, 256> byPort{};
    std::array<uint8_t, 64> touched;
    for (uint32_t base = 0; base < hostOfLid.size(); base += 64) {
      uint64_t targets = 0;
      for (uint32_t k = 0; k < 64; ++k) targets |= uint64_t{hostOfLid[base + k] >= 0} << k;
      if (targets == 0) continue;
      edges.clear();
      for (uint32_t s = 0; s < numStates; ++s) {
        firstEdge[s] = static_cast<uint32_t>(edges.size());
        unsigned numTouched = 0;
        for (uint64_t left = targets; left; left &= left - 1) {
          const int k = __builtin_ctzll(left);
          const uint8_t port = states_.egress(s, static_cast<uint16_t>(base + k));
          if (byPort[port] == 0) touched[numTouched++] = port;
          byPort[port] |= uint64_t{1} << k;
        }
        uint64_t arrived = 0;
        for (unsigned i = 0; i < numTouched; ++i) {
          const uint8_t port = touched[i];
          const uint64_t lids = byPort[port];
          byPort[port] = 0;
          const uint32_t to = states_.lead(s, port);
          if (to == ForwardingStates::kDeadEnd) continue;
          if (!(to & ForwardingStates::kHostBit)) {
            edges.push_back({to, lids});
            continue;
          }
          for (uint64_t left = lids; left; left &= left - 1) {
            const int k = __builtin_ctzll(left);
            const IBPort& dst = *hosts_[static_cast<size_t>(hostOfLid[base + k])];
            if ((to & ~ForwardingStates::kHostBit) == portIndex(dst)) arrived |= uint64_t{1} << k;
          }
        }
        delivers[s] = arrived;
      }
      firstEdge[numStates] = static_cast<uint32_t>(edges.size());

      bool settled = false;
      for (int sweep = 0; sweep < kMaxSweeps && !settled; ++sweep) {
        settled = true;
        for (uint32_t s = 0; s < numStates; ++s) {
          uint64_t bits = delivers[s];
          for (uint32_t e = firstEdge[s]; e < firstEdge[s + 1]; ++e)
            bits |= edges[e].lids & delivers[edges[e].next];
          if (bits != delivers[s]) {
            delivers[s] = bits;
            settled = false;
          }
        }
      }
      if (!settled) {
        for (uint64_t left = targets; left; left &= left - 1)
          rest.push_back(static_cast<uint32_t>(hostOfLid[base + __builtin_ctzll(left)]));
        continue;
      }

      uint64_t everyEntry = ~uint64_t{0};
      for (uint32_t e : entries_) everyEntry &= delivers[e];
      for (uint64_t left = targets; left; left &= left - 1) {
        const int k = __builtin_ctzll(left);
        const uint32_t d = static_cast<uint32_t>(hostOfLid[base + k]);
        if (cabledToHost_ == 0 && ((everyEntry >> k) & 1)) continue;
        anyBroken[d] = true;
        brokenTo[d] = countBroken(d, [&](uint32_t e) { return !((delivers[e] >> k) & 1); });
      }
    }
  }

  // Evaluates the entry states for dst afresh; true when some route to dst
  // is broken (a source cabled to another host always is).
  bool evaluateAll(const IBPort& dst, const std::vector<uint32_t>& entries) {
    ++epoch_now_;
    bool anyBroken = cabledToHost_ > 0;
    for (uint32_t e : entries) anyBroken |= evaluate(e, dst) == kBroken;
    return anyBroken;
  }

  // The outcome of a packet for dst in the given state. Walks with an explicit
  // stack: routes through thousands of switches must not exhaust the call
  // stack, and states still on the stack mark a loop.
  Status evaluate(uint32_t start, const IBPort& dst) {
    if (known(start)) return static_cast<Status>(status_[start]);
    const uint16_t lid = dst.baseLid;
    const uint32_t dstIndex = portIndex(dst);
    stack_.clear();
    stack_.push_back(start);
    epoch_[start] = epoch_now_;
    status_[start] = kInProgress;
    while (!stack_.empty()) {
      uint32_t state = stack_.back();
      uint32_t next = hop(state, lid, dstIndex);
      if (next < kDeadEnd && !known(next)) {
        epoch_[next] = epoch_now_;
        status_[next] = kInProgress;
        stack_.push_back(next);
        continue;
      }
      if (next == kDeadEnd) {  // routeEndAt says why
        status_[state] = kBroken;
        failedAt_[state] = state;
      } else if (next == kArrived) {
        status_[state] = kComplete;
      } else if (status_[next] == kInProgress) {
        status_[state] = kBroken;
        failedAt_[state] = state;
      } else {
        status_[state] = status_[next];
        failedAt_[state] = failedAt_[next];
      }
      stack_.pop_back();
    }
    return static_cast<Status>(status_[start]);
  }

  IBFabric& fabric_;
  ForwardingStates states_;

  // Per-state outcome for the current destination; valid where epoch_ matches.
  uint32_t epoch_now_ = 0;
  std::vector<uint32_t> epoch_;
  std::vector<uint8_t> status_;
  std::vector<uint32_t> failedAt_;  // the dead-end state a broken state leads to
  std::vector<uint32_t> stack_;

  std::vector<const IBPort*> hosts_;
  std::vector<uint32_t> hostEntry_;  // state a host's packets start in, or kNoState
  size_t cabledToHost_ = 0;
  std::vector<uint32_t> entries_;  // distinct entry states
  std::vector<size_t> sourcesAt_;  // hosts whose packets start in each state
};

}  // namespace

int SubnMgtVerifyAllCaToCaRoutes(IBFabric& fabric, const char* reportFile) {
  FILE* report = nullptr;
  if (reportFile) {
    report = std::fopen(reportFile, "w");
    if (!report) {
      std::fprintf(stderr, "-E- Cannot write route report %s: %s\n", reportFile,
                   std::strerror(errno));
      std::fflush(stderr);
      return 1;
    }
  }

  size_t shown = 0;
  RouteChecker checker(fabric);
  size_t brokenCount = checker.run(
      [&] { return report || shown < kShownLines; },
      [&](const IBPort& src, const IBPort& dst, const std::string& why) {
        std::string line = "-E- Missing route from " + src.getName() + " to " + dst.getName() +
                           " lid " + std::to_string(dst.baseLid) + ": " + why + "\n";
        if (shown < kShownLines) {
          std::fputs(line.c_str(), stderr);
          ++shown;
        }
        if (report) std::fputs(line.c_str(), report);
      });
  if (brokenCount > kShownLines)
    std::fprintf(stderr, "-E- %zu more missing routes not shown\n", brokenCount - kShownLines);
  std::fflush(stderr);

  int result = brokenCount == 0 ? 0 : 1;
  if (report) {
    bool failed = std::ferror(report) != 0;
    failed |= std::fclose(report) != 0;
    if (failed) {
      std::fprintf(stderr, "-E- Cannot write route report %s: %s\n", reportFile,
                   std::strerror(errno));
      std::fflush(stderr);
      result = 1;
    }
  }
  return result;
}
