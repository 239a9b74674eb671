#include "tools/fabricgen.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <random>
#include <unordered_map>
#include <vector>

#include "fabric/dumps/writers.h"

namespace {

constexpr int64_t kMaxUnicastLid = 0xBFFF;
constexpr uint8_t kNoEntry = kLftNoEntry;

bool fail(std::string* err, std::string msg) {
  if (err) *err = std::move(msg);
  return false;
}

// The tree in numbers. A two-level tree is one pod without cores.
struct Shape {
  int levels = 2;
  int radix = 0;
  int hostsPerLeaf = 0;  // H: leaf ports 1..H face hosts
  int upLinks = 0;       // U: leaf ports H+1..H+U face the pod's spines
  int parallel = 1;      // P
  int pods = 1;
  int leavesPerPod = 0;
  int spinesPerPod = 0;   // U / P; spine m of every pod is in plane m
  int coresPerPlane = 0;  // 0 in a two-level tree
  int spineDown = 0;      // spine ports 1..spineDown face the pod's leaves
  int spineUp = 0;        // the next spineUp ports face the plane's cores

  int64_t leaves() const { return int64_t{pods} * leavesPerPod; }
  int64_t spines() const { return int64_t{pods} * spinesPerPod; }
  int64_t cores() const { return int64_t{spinesPerPod} * coresPerPlane; }
  int64_t switches() const { return leaves() + spines() + cores(); }
  int64_t hosts() const { return leaves() * hostsPerLeaf; }
  int64_t lidsPerHost(uint16_t lmc) const { return int64_t{1} << lmc; }
  // Switches take LIDs 1..switches; hosts follow, aligned to 2^lmc.
  int64_t firstHostLid(uint16_t lmc) const {
    int64_t step = lidsPerHost(lmc);
    return (switches() + 1 + step - 1) / step * step;
  }
  int64_t maxLid(uint16_t lmc) const { return firstHostLid(lmc) + hosts() * lidsPerHost(lmc) - 1; }
};

Shape shapeOf(const GenOptions& o) {
  Shape s;
  s.levels = o.levels;
  s.radix = o.radix;
  s.hostsPerLeaf = o.hostsPerLeaf;
  s.upLinks = o.upLinks;
  s.parallel = o.parallelLinks;
  s.spinesPerPod = o.upLinks / o.parallelLinks;
  s.leavesPerPod = o.leaves;
  s.spineDown = o.leaves * o.parallelLinks;
  if (o.levels == 3) {
    s.pods = o.pods;
    s.coresPerPlane = o.leaves;
    s.spineUp = s.coresPerPlane * o.parallelLinks;
  }
  return s;
}

int digits(int64_t n) {
  int d = 1;
  while (n >= 10) {
    n /= 10;
    ++d;
  }
  return d < 2 ? 2 : d;
}

std::string numbered(int64_t n, int width) {
  std::string s = std::to_string(n);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
  return s;
}

// Multiplying by an odd number is a bijection of the low 24 bits, so GUIDs
// look scattered but never collide.
uint64_t scatter24(uint64_t x, uint64_t odd) {
  return (x * odd) & 0xFFFFFFu;
}
uint64_t switchGuid(int64_t i) {
  return 0x0c42a10300000000ull | scatter24(uint64_t(i) + 1, 0x5BD1E5) << 8;
}
uint64_t hostGuid(int64_t i) {
  return 0xb8cef60300000000ull | scatter24(uint64_t(i) + 1, 0x2F6A8B) << 8;
}

// What a LID leads to, in tree coordinates.
struct Dest {
  enum Kind : uint8_t { kNone, kHost, kLeaf, kSpine, kCore } kind = kNone;
  int pod = 0;
  int leafInPod = 0;
  int leaf = 0;   // global leaf index
  int host = 0;   // host index on its leaf
  int route = 0;  // host index plus LID offset: picks the up ports
  int plane = 0;  // spine index in its pod, or a core's plane
  int core = 0;   // core index in its plane
};

// Node indices in creation order: hosts, leaves, spines (pod-major), cores
// (plane-major).
struct Layout {
  int64_t firstLeaf, firstSpine, firstCore;
};

// Egress ports. Destination-mod-k: every up-port choice depends on the
// destination alone, so the routes to one LID form a tree and cannot loop;
// traffic goes up until it reaches a switch above the destination, then down
// the only way there is. `rotated` is the second table of a private-table
// switch: the same routes with the up-port choice shifted by one.
struct Router {
  const Shape& s;

  int leafUp(int u) const {
    int m = u % s.spinesPerPod, cable = u / s.spinesPerPod;
    return s.hostsPerLeaf + 1 + m * s.parallel + cable;
  }
  int spineUpChoice(const Dest& d) const {
    int span = s.spineUp;
    if (d.kind == Dest::kHost) return (d.leafInPod + d.route / s.upLinks) % span;
    return d.leaf % span;
  }
  int spineUpPort(int v) const {
    int q = v % s.coresPerPlane, cable = v / s.coresPerPlane;
    return s.spineDown + 1 + q * s.parallel + cable;
  }

  uint8_t leaf(int leafIndex, const Dest& d, bool rotated) const {
    switch (d.kind) {
      case Dest::kHost:
        if (d.leaf == leafIndex) return uint8_t(d.host + 1);
        return uint8_t(leafUp((d.route + (rotated ? 1 : 0)) % s.upLinks));
      case Dest::kLeaf:
        if (d.leaf == leafIndex) return 0;
        return uint8_t(leafUp(d.leaf % s.upLinks));
      case Dest::kSpine:
      case Dest::kCore:
        return uint8_t(s.hostsPerLeaf + 1 + d.plane * s.parallel);
      case Dest::kNone:
        break;
    }
    return kNoEntry;
  }

  uint8_t spine(int pod, int plane, const Dest& d, bool rotated) const {
    switch (d.kind) {
      case Dest::kHost:
        if (d.pod == pod) {
          int cable = (d.route % s.upLinks) / s.spinesPerPod;
          return uint8_t(1 + d.leafInPod * s.parallel + cable);
        }
        return uint8_t(spineUpPort((spineUpChoice(d) + (rotated ? 1 : 0)) % s.spineUp));
      case Dest::kLeaf:
        if (d.pod == pod) return uint8_t(1 + d.leafInPod * s.parallel);
        return uint8_t(spineUpPort(spineUpChoice(d)));
      case Dest::kSpine:
        // Another spine of this pod, or of another plane, is only reachable
        // down-then-up: up/down routing leaves it unreachable.
        if (d.plane != plane) return kNoEntry;
        if (d.pod == pod) return 0;
        return uint8_t(spineUpPort(d.pod % s.coresPerPlane));
      case Dest::kCore:
        if (d.plane != plane) return kNoEntry;
        return uint8_t(s.spineDown + 1 + d.core * s.parallel);
      case Dest::kNone:
        break;
    }
    return kNoEntry;
  }

  uint8_t core(int plane, int coreIndex, const Dest& d) const {
    switch (d.kind) {
      case Dest::kHost:
        return uint8_t(1 + d.pod * s.parallel + spineUpChoice(d) / s.coresPerPlane);
      case Dest::kLeaf:
        return uint8_t(1 + d.pod * s.parallel);
      case Dest::kSpine:
        if (d.plane != plane) return kNoEntry;
        return uint8_t(1 + d.pod * s.parallel);
      case Dest::kCore:
        return d.plane == plane && d.core == coreIndex ? 0 : kNoEntry;
      case Dest::kNone:
        break;
    }
    return kNoEntry;
  }
};

// Where every node sits in creation order (so in the dumps), and every LID.
struct LidPlan {
  std::vector<int64_t> slot;        // creation position by node index
  std::vector<uint16_t> switchLid;  // by switch index: leaves, spines, cores
  std::vector<uint16_t> hostLid;    // base LID by host index
  int64_t maxLid = 0;
};

// A shuffled layout hands out LIDs in blocks of 2^lmc: a host's aligned range,
// or up to 2^lmc switches. Block b holds LIDs b * 2^lmc and on; block 0 is
// never used, so no LID is 0.
int64_t switchBlocks(const Shape& s, uint16_t lmc) {
  return (s.switches() + s.lidsPerHost(lmc) - 1) / s.lidsPerHost(lmc);
}
int64_t highestBlock(uint16_t lmc) {
  return (kMaxUnicastLid + 1) / (int64_t{1} << lmc) - 1;
}

// Fisher-Yates with a fixed use of the engine, so a seed gives the same order
// with every standard library (std::shuffle's draws are unspecified).
void shuffle(std::vector<int64_t>& v, std::mt19937_64& rng) {
  for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[rng() % i]);
}

LidPlan planLids(const Shape& s, const GenOptions& o) {
  LidPlan plan;
  const int64_t step = s.lidsPerHost(o.lmc);
  plan.slot.resize(size_t(s.hosts() + s.switches()));
  std::iota(plan.slot.begin(), plan.slot.end(), int64_t{0});
  plan.switchLid.resize(size_t(s.switches()));
  plan.hostLid.resize(size_t(s.hosts()));
  if (!o.shuffled) {
    // Switches take LIDs 1..switches; hosts follow, in tree order.
    for (int64_t i = 0; i < s.switches(); ++i) plan.switchLid[size_t(i)] = uint16_t(i + 1);
    for (int64_t g = 0; g < s.hosts(); ++g)
      plan.hostLid[size_t(g)] = uint16_t(s.firstHostLid(o.lmc) + g * step);
    plan.maxLid = s.maxLid(o.lmc);
    return plan;
  }
  // Blocks drawn in a random order: the first ones go to the switches, the
  // next to the hosts, and the rest (about one host in 32) stay unused.
  std::mt19937_64 rng(o.shuffleSeed);
  const int64_t swBlocks = switchBlocks(s, o.lmc);
  const int64_t used = swBlocks + s.hosts();
  const int64_t gaps = std::min(s.hosts() / 32 + 1, highestBlock(o.lmc) - used);
  std::vector<int64_t> blocks(size_t(used + gaps));
  std::iota(blocks.begin(), blocks.end(), int64_t{1});
  shuffle(blocks, rng);
  for (int64_t i = 0; i < s.switches(); ++i) {
    int64_t lid = blocks[size_t(i / step)] * step + i % step;
    plan.switchLid[size_t(i)] = uint16_t(lid);
    plan.maxLid = std::max(plan.maxLid, lid);
  }
  for (int64_t g = 0; g < s.hosts(); ++g) {
    int64_t lid = blocks[size_t(swBlocks + g)] * step;
    plan.hostLid[size_t(g)] = uint16_t(lid);
    plan.maxLid = std::max(plan.maxLid, lid + step - 1);
  }
  shuffle(plan.slot, rng);
  return plan;
}

void setEverywhere(IBNode& sw, uint16_t lid, uint8_t port) {
  for (size_t t = 0; t < sw.lfts.size(); ++t) sw.setLFTPortForLid(lid, port, uint8_t(t));
}

// What a LID leads to, for the min-hop engine: the switch it belongs to, or a
// host's leaf with the leaf's port to that host (0: the switch itself).
struct LidTarget {
  int32_t sw = -1;  // switch index; -1: an unused LID
  uint8_t port = 0;
};

// Fills table 0 of every switch (and copies it into the others) the way a
// min-hop subnet manager does: destinations in ascending LID order, each
// switch taking, of its ports towards a switch one hop nearer the target,
// the one that has carried the fewest LIDs so far (ties by port number).
void fillMinHop(const std::vector<IBNode*>& switches, const std::vector<LidTarget>& targets) {
  const size_t n = switches.size();
  std::unordered_map<const IBNode*, uint32_t> indexOf;
  for (size_t i = 0; i < n; ++i) indexOf[switches[i]] = uint32_t(i);
  // Switch-to-switch cables, flat and in port order per switch.
  std::vector<uint32_t> first(n + 1, 0), remote;
  std::vector<uint8_t> portOf;
  for (size_t i = 0; i < n; ++i) {
    first[i] = uint32_t(remote.size());
    for (IBPort* p : switches[i]->portTable) {
      if (!p || p->portNumber == 0 || !p->remote || !p->remote->owner->isSwitch()) continue;
      remote.push_back(indexOf.at(p->remote->owner));
      portOf.push_back(p->portNumber);
    }
  }
  first[n] = uint32_t(remote.size());
  // Hops between switches, one breadth-first search per target.
  constexpr uint8_t kFar = 255;
  std::vector<uint8_t> hops(n * n, kFar);
  std::vector<uint32_t> queue(n);
  for (size_t t = 0; t < n; ++t) {
    uint8_t* row = &hops[t * n];
    size_t head = 0, tail = 0;
    row[t] = 0;
    queue[tail++] = uint32_t(t);
    while (head < tail) {
      const uint32_t s = queue[head++];
      for (uint32_t k = first[s]; k < first[s + 1]; ++k)
        if (row[remote[k]] == kFar && row[s] + 1 < kFar) {
          row[remote[k]] = uint8_t(row[s] + 1);
          queue[tail++] = remote[k];
        }
    }
  }
  std::vector<uint32_t> used(remote.size(), 0);
  for (size_t lid = 1; lid < targets.size(); ++lid) {
    const LidTarget target = targets[lid];
    if (target.sw < 0) continue;
    const uint8_t* row = &hops[size_t(target.sw) * n];
    for (size_t s = 0; s < n; ++s) {
      uint8_t port = kNoEntry;
      if (s == size_t(target.sw)) {
        port = target.port;
      } else if (row[s] != kFar) {
        uint32_t best = UINT32_MAX, bestUse = UINT32_MAX;
        for (uint32_t k = first[s]; k < first[s + 1]; ++k)
          if (row[remote[k]] < row[s] && used[k] < bestUse) {
            best = k;
            bestUse = used[k];
          }
        ++used[best];
        port = portOf[best];
      }
      for (std::vector<uint8_t>& table : switches[s]->lfts) table[lid] = port;
    }
  }
}

}  // namespace

bool resolveGenOptions(GenOptions& o, std::string* err) {
  if (o.levels != 2 && o.levels != 3)
    return fail(err, "levels must be 2 or 3, not " + std::to_string(o.levels));
  // Port 255 means "no entry" in a forwarding table.
  if (o.radix < 2 || o.radix > 254)
    return fail(err, "radix must be between 2 and 254, not " + std::to_string(o.radix));
  if (o.parallelLinks < 1) return fail(err, "parallel links must be at least 1");
  if (o.hostsPerLeaf < 0 || o.upLinks < 0 || o.leaves < 0 || o.pods < 0 || o.hostsPerRack < 0)
    return fail(err, "counts cannot be negative");
  if (o.hostsPerLeaf == 0) o.hostsPerLeaf = o.radix / 2;
  if (o.hostsPerLeaf >= o.radix)
    return fail(err, "hosts per leaf (" + std::to_string(o.hostsPerLeaf) +
                         ") leave no up port on a " + std::to_string(o.radix) + "-port switch");
  if (o.upLinks == 0) {
    int room = o.radix - o.hostsPerLeaf;
    o.upLinks = (o.hostsPerLeaf < room ? o.hostsPerLeaf : room) / o.parallelLinks * o.parallelLinks;
    if (o.upLinks == 0)
      return fail(
          err, "no room for " + std::to_string(o.parallelLinks) + " parallel up-links on a leaf");
  }
  if (o.hostsPerLeaf + o.upLinks > o.radix)
    return fail(err, "hosts per leaf (" + std::to_string(o.hostsPerLeaf) + ") plus up-links (" +
                         std::to_string(o.upLinks) + ") exceed the radix (" +
                         std::to_string(o.radix) + ")");
  if (o.upLinks % o.parallelLinks != 0)
    return fail(err, "up-links (" + std::to_string(o.upLinks) +
                         ") are not a multiple of the parallel links (" +
                         std::to_string(o.parallelLinks) + ")");
  if (o.levels == 2) {
    if (o.pods != 0) return fail(err, "pods exist only in a three-level tree");
    if (o.leaves == 0) o.leaves = o.radix / o.parallelLinks;
    if (int64_t{o.leaves} * o.parallelLinks > o.radix)
      return fail(err, std::to_string(o.leaves) + " leaves with " +
                           std::to_string(o.parallelLinks) + " cables each do not fit a spine's " +
                           std::to_string(o.radix) + " ports");
  } else {
    if (o.leaves == 0) o.leaves = o.radix / (2 * o.parallelLinks);
    if (o.leaves == 0 || 2 * int64_t{o.leaves} * o.parallelLinks > o.radix)
      return fail(err, std::to_string(o.leaves) + " leaves per pod with " +
                           std::to_string(o.parallelLinks) +
                           " cables each, down and up, do not fit a spine's " +
                           std::to_string(o.radix) + " ports");
    if (o.pods == 0) o.pods = o.radix / o.parallelLinks;
    if (int64_t{o.pods} * o.parallelLinks > o.radix)
      return fail(err, std::to_string(o.pods) + " pods with " + std::to_string(o.parallelLinks) +
                           " cables each do not fit a core's " + std::to_string(o.radix) +
                           " ports");
  }
  if (o.lmc > 7) return fail(err, "lmc must be between 0 and 7, not " + std::to_string(o.lmc));

  Shape s = shapeOf(o);
  if (o.shuffled && switchBlocks(s, o.lmc) + s.hosts() > highestBlock(o.lmc))
    return fail(err, "the fabric needs " + std::to_string(switchBlocks(s, o.lmc) + s.hosts()) +
                         " blocks of " + std::to_string(s.lidsPerHost(o.lmc)) +
                         " LIDs, more than the " + std::to_string(kMaxUnicastLid) +
                         " unicast LIDs hold");
  if (s.maxLid(o.lmc) > kMaxUnicastLid)
    return fail(err, "the fabric needs LIDs up to " + std::to_string(s.maxLid(o.lmc)) +
                         ", above the " + std::to_string(kMaxUnicastLid) + " unicast LIDs");
  if (o.faultMissingEntry && s.hosts() < 2)
    return fail(err, "a missing entry needs at least 2 hosts");
  if (o.faultWrongHost && o.hostsPerLeaf < 2)
    return fail(err, "a LID sent to the wrong host needs at least 2 hosts per leaf");
  if (o.faultLoop && s.leaves() < 2) return fail(err, "a forwarding loop needs at least 2 leaves");
  return true;
}

bool generateFabric(const GenOptions& options, IBFabric& fabric, std::string* err,
                    GenSummary* summary) {
  GenOptions o = options;
  if (!resolveGenOptions(o, err)) return false;
  if (!fabric.nodes().empty()) return fail(err, "the fabric is not empty");
  const Shape s = shapeOf(o);
  const int H = s.hostsPerLeaf, P = s.parallel;
  const int64_t hosts = s.hosts();
  const int64_t lidStep = s.lidsPerHost(o.lmc);
  const LidPlan plan = planLids(s, o);
  const int64_t maxLid = plan.maxLid;
  const Layout at{hosts, hosts + s.leaves(), hosts + s.leaves() + s.spines()};
  // The port each host is cabled on.
  auto hostPortNumber = [&](int64_t g) { return o.deadPort1Host && g == hosts - 1 ? 2 : 1; };

  // Nodes, built by node index (hosts, leaves, spines, cores) and created in
  // the plan's order.
  std::vector<NodeDecl> decls;
  decls.reserve(size_t(hosts + s.switches()));
  const int64_t racks = o.hostsPerRack ? (hosts + o.hostsPerRack - 1) / o.hostsPerRack : s.leaves();
  const int rackWidth = digits(racks);
  const int nodeWidth = digits(o.hostsPerRack ? o.hostsPerRack : H);
  for (int64_t g = 0; g < hosts; ++g) {
    int64_t rack = o.hostsPerRack ? g / o.hostsPerRack : g / H;
    int64_t n = o.hostsPerRack ? g % o.hostsPerRack : g % H;
    NodeDecl d;
    d.nodeType = IB_CA_NODE;
    std::string name(1, 'r');
    name += numbered(rack + 1, rackWidth);
    name += 'n';
    name += numbered(n + 1, nodeWidth);
    d.description = name + " HCA-1";
    d.nodeName = name + "_HCA-1";
    d.nodeGuid = d.systemGuid = hostGuid(g);
    d.portCount = uint8_t(hostPortNumber(g));
    decls.push_back(std::move(d));
  }
  auto addSwitch = [&](const char* role, int64_t number, int width) {
    NodeDecl d;
    d.nodeType = IB_SW_NODE;
    d.description = std::string("MF0;") + role + numbered(number, width) + ":MQM8700/U1";
    d.nodeName = d.description;
    int64_t i = int64_t(decls.size()) - hosts;
    d.nodeGuid = d.systemGuid = switchGuid(i);
    d.portCount = uint8_t(s.radix);
    d.lid = plan.switchLid[size_t(i)];
    decls.push_back(std::move(d));
  };
  for (int64_t i = 0; i < s.leaves(); ++i) addSwitch("leaf", i + 1, digits(s.leaves()));
  for (int64_t i = 0; i < s.spines(); ++i) addSwitch("spine", i + 1, digits(s.spines()));
  for (int64_t i = 0; i < s.cores(); ++i) addSwitch("core", i + 1, digits(s.cores()));
  std::vector<NodeDecl> placed(decls.size());
  for (size_t i = 0; i < decls.size(); ++i) placed[size_t(plan.slot[i])] = std::move(decls[i]);
  if (fabric.createNodes(std::move(placed), err) != 0) return false;

  auto created = fabric.nodes();
  auto node = [&](int64_t i) -> IBNode& { return created[size_t(plan.slot[size_t(i)])]; };
  auto port = [&](int64_t i, int n) { return node(i).portTable[size_t(n)]; };
  for (int64_t g = 0; g < hosts; ++g) {
    IBPort* p = port(g, hostPortNumber(g));
    p->guid = node(g).nodeGuid + uint64_t(p->portNumber);
    p->baseLid = plan.hostLid[size_t(g)];
  }
  for (int64_t i = at.firstLeaf; i < int64_t(created.size()); ++i)
    for (IBPort* p : node(i).portTable)
      if (p) p->guid = node(i).nodeGuid;

  // Cables: hosts to leaves, leaves to their pod's spines, spines to the
  // cores of their plane; P parallel cables on consecutive ports.
  int links = 0;
  for (int64_t g = 0; g < hosts; ++g, ++links)
    IBFabric::link(port(g, hostPortNumber(g)), port(at.firstLeaf + g / H, int(g % H) + 1));
  for (int pod = 0; pod < s.pods; ++pod)
    for (int l = 0; l < s.leavesPerPod; ++l)
      for (int m = 0; m < s.spinesPerPod; ++m)
        for (int c = 0; c < P; ++c, ++links)
          IBFabric::link(port(at.firstLeaf + int64_t{pod} * s.leavesPerPod + l, H + 1 + m * P + c),
                         port(at.firstSpine + int64_t{pod} * s.spinesPerPod + m, 1 + l * P + c));
  for (int pod = 0; pod < s.pods && s.levels == 3; ++pod)
    for (int m = 0; m < s.spinesPerPod; ++m)
      for (int q = 0; q < s.coresPerPlane; ++q)
        for (int c = 0; c < P; ++c, ++links)
          IBFabric::link(
              port(at.firstSpine + int64_t{pod} * s.spinesPerPod + m, s.spineDown + 1 + q * P + c),
              port(at.firstCore + int64_t{m} * s.coresPerPlane + q, 1 + pod * P + c));

  // Every cable a 4x HDR link.
  for (IBPort& p : fabric.ports())
    if (p.remote) {
      p.width = 4;
      p.speed = 50000;
    }

  // Every LID in tree coordinates.
  std::vector<Dest> dests(size_t(maxLid) + 1);
  for (int64_t i = 0; i < s.leaves(); ++i) {
    Dest& d = dests[plan.switchLid[size_t(i)]];
    d.kind = Dest::kLeaf;
    d.leaf = int(i);
    d.pod = int(i / s.leavesPerPod);
    d.leafInPod = int(i % s.leavesPerPod);
  }
  for (int64_t i = 0; i < s.spines(); ++i) {
    Dest& d = dests[plan.switchLid[size_t(s.leaves() + i)]];
    d.kind = Dest::kSpine;
    d.pod = int(i / s.spinesPerPod);
    d.plane = int(i % s.spinesPerPod);
  }
  for (int64_t i = 0; i < s.cores(); ++i) {
    Dest& d = dests[plan.switchLid[size_t(s.leaves() + s.spines() + i)]];
    d.kind = Dest::kCore;
    d.plane = int(i / s.coresPerPlane);
    d.core = int(i % s.coresPerPlane);
  }
  for (int64_t g = 0; g < hosts; ++g)
    for (int64_t k = 0; k < lidStep; ++k) {
      Dest& d = dests[size_t(plan.hostLid[size_t(g)] + k)];
      d.kind = Dest::kHost;
      d.leaf = int(g / H);
      d.pod = int(d.leaf / s.leavesPerPod);
      d.leafInPod = int(d.leaf % s.leavesPerPod);
      d.host = int(g % H);
      d.route = int(d.host + k);
    }

  // Forwarding tables, and the ingress maps of private-table switches: ports
  // facing down use table 1.
  const Router route{s};
  auto fill = [&](IBNode& sw, bool priv, int downPorts, auto&& entry) {
    sw.lfts.assign(priv ? 2 : 1, std::vector<uint8_t>(size_t(maxLid) + 1, kNoEntry));
    sw.filledTables = priv ? 3 : 1;
    for (size_t t = 0; t < sw.lfts.size(); ++t) {
      uint8_t* table = sw.lfts[t].data();
      for (int64_t lid = 1; lid <= maxLid; ++lid) table[lid] = entry(dests[size_t(lid)], t == 1);
    }
    if (priv) {
      sw.ingressTable.assign(size_t(sw.portCount) + 1, 0);
      for (int p = 1; p <= downPorts; ++p) sw.ingressTable[size_t(p)] = 1;
    }
  };
  for (int64_t i = 0; i < s.leaves(); ++i) {
    bool priv = o.privateTables && i % 2 == 0;
    fill(node(at.firstLeaf + i), priv, H,
         [&](const Dest& d, bool rot) { return route.leaf(int(i), d, rot); });
  }
  for (int64_t i = 0; i < s.spines(); ++i) {
    bool priv = o.privateTables && i % 2 == 0;
    int pod = int(i / s.spinesPerPod), plane = int(i % s.spinesPerPod);
    fill(node(at.firstSpine + i), priv, s.spineDown,
         [&](const Dest& d, bool rot) { return route.spine(pod, plane, d, rot); });
  }
  for (int64_t i = 0; i < s.cores(); ++i) {
    int plane = int(i / s.coresPerPlane), q = int(i % s.coresPerPlane);
    fill(node(at.firstCore + i), false, 0,
         [&](const Dest& d, bool) { return route.core(plane, q, d); });
  }
  if (o.routing == GenOptions::Routing::kMinHop) {
    // The same shapes and ingress maps, the entries replaced.
    std::vector<IBNode*> switches;
    for (int64_t i = 0; i < s.switches(); ++i) switches.push_back(&node(at.firstLeaf + i));
    std::vector<LidTarget> targets(size_t(maxLid) + 1);
    for (int64_t i = 0; i < s.switches(); ++i) targets[plan.switchLid[size_t(i)]].sw = int32_t(i);
    for (int64_t g = 0; g < hosts; ++g)
      for (int64_t k = 0; k < lidStep; ++k)
        targets[size_t(plan.hostLid[size_t(g)] + k)] = {int32_t(g / H), uint8_t(g % H + 1)};
    fillMinHop(switches, targets);
  }

  // Faults, all against the last host's base LID, in every table of the
  // switch they touch.
  const int64_t victim = hosts - 1;
  const uint16_t victimLid = plan.hostLid[size_t(victim)];
  IBNode& victimLeaf = node(at.firstLeaf + victim / H);
  if (o.faultMissingEntry) setEverywhere(victimLeaf, victimLid, kNoEntry);
  if (o.faultWrongHost) setEverywhere(victimLeaf, victimLid, uint8_t((victim + 1) % H + 1));
  if (o.faultLoop) {
    // Leaf 0 sends the LID up to spine 0 of its pod, which sends it back down.
    setEverywhere(node(at.firstLeaf), victimLid, uint8_t(H + 1));
    setEverywhere(node(at.firstSpine), victimLid, 1);
  }

  if (summary) {
    summary->hosts = int(hosts);
    summary->switches = int(s.switches());
    summary->links = links;
    summary->maxLid = uint16_t(maxLid);
  }
  return true;
}

bool writeFabricFiles(const IBFabric& fabric, const std::string& dir, char layout,
                      std::string* err) {
  if (layout != 'A' && layout != 'B')
    return fail(err, std::string("layout must be A or B, not ") + layout);
  std::string base = dir.empty() ? std::string(".") : dir;
  if (base.back() != '/') base += '/';
  if (!writeLstFile(fabric, base + "fabric.lst", err)) return false;
  if (!writeFdbFile(fabric, base + "fabric.fdbs", layout, err)) return false;
  bool anyPrivate = false;
  for (const IBNode& n : fabric.nodes()) anyPrivate |= n.isSwitch() && !n.ingressTable.empty();
  if (anyPrivate) return writePlftFile(fabric, base + "fabric.plft", err);
  // A map left by an earlier fabric in the same folder would not match this one.
  if (::unlink((base + "fabric.plft").c_str()) != 0 && errno != ENOENT)
    return fail(err, base + "fabric.plft: cannot remove the earlier file: " + std::strerror(errno));
  return true;
}
