// The fabric model: nodes, ports, links, LIDs and forwarding tables of an
// InfiniBand subnet, read from topology (LST), forwarding-table (FDB) and
// private-table (PLFT) dumps.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Node type codes as InfiniBand defines them.
enum : int {
  IB_UNKNOWN_NODE = 0,
  IB_CA_NODE = 1,
  IB_SW_NODE = 2,
  IB_RTR_NODE = 3,
};

// A node type as topology dumps write it: "SW", "CA", "Rt", or "**" for any
// other code.
std::string_view nodeTypeName(int nodeType);

// A GUID as the dumps write it: "0x" and 16 lower-case hex digits.
std::string guidText(uint64_t guid);

// Link rates as the topology dumps give them. A width is a lane count (1, 2,
// 4, 8 or 12); a speed is a per-lane rate in Mb/s (SDR 2500, DDR 5000, QDR
// and FDR10 10000, FDR 14000, EDR 25000, HDR 50000, NDR 100000, XDR 200000).
// 0 stands for "the dump does not say" in both.
uint8_t linkWidth(uint64_t lanes);               // lanes when valid, else 0
uint32_t linkSpeedFromName(std::string_view);    // "HDR" -> 50000; unknown -> 0
uint32_t linkSpeedFromGbps(std::string_view);    // "2.5" -> 2500; unknown -> 0
std::string_view linkSpeedName(uint32_t speed);  // 50000 -> "HDR"; unknown -> ""
std::string linkSpeedGbps(uint32_t speed);       // 2500 -> "2.5"; unknown -> ""

// Forwarding-table value for "no entry".
constexpr uint8_t kLftNoEntry = 255;
// Private forwarding tables are numbered 0 to 15.
constexpr int kMaxLftTables = 16;

struct IBNode;

struct IBPort {
  IBPort* remote = nullptr;  // the port across the link, or null
  IBNode* owner = nullptr;
  uint64_t guid = 0;
  uint8_t portNumber = 0;
  // The link's lanes and per-lane Mb/s (see linkWidth); 0: the topology does
  // not say. Both ends of a link carry the same values.
  uint8_t width = 0;
  uint16_t baseLid = 0;  // 0: no LID (a switch port's LID lives in IBNode::lid)
  uint32_t flowCount = 0;
  uint32_t speed = 0;

  // "NODENAME/P<n>", used verbatim in messages and in the pairs file.
  std::string getName() const;
};

// A node's ports by number. Where the numbers are dense (a switch cabled on
// most of its ports) a table indexed by number answers in one step; where
// they are sparse (a node that shows only its port 254) the node's ports are
// kept in ascending number and searched, so that memory follows the ports
// that exist and never the highest port number.
class PortTable {
 public:
  // ports: the node's ports in ascending number, all within 1..portCount.
  void assign(const std::vector<IBPort*>& ports, unsigned portCount);

  // Port n, or null where the node has none.
  IBPort* operator[](size_t n) const {
    if (dense_) return n < entries_.size() ? entries_[n] : nullptr;
    return find(n);
  }
  // One more than the node's port count: port numbers below it may exist.
  size_t size() const { return size_t{portCount_} + 1; }
  // Every port, ascending number; null entries may come between them.
  IBPort* const* begin() const { return entries_.data(); }
  IBPort* const* end() const { return entries_.data() + entries_.size(); }

  // Forgets port n, and the ports from number `size` up (tests that need a
  // port missing from a node).
  void erase(size_t n);
  void truncate(size_t size);

 private:
  IBPort* find(size_t n) const;

  std::vector<IBPort*> entries_;  // dense: by number (entry 0 null); else the ports
  uint8_t portCount_ = 0;
  bool dense_ = true;
};

struct IBNode {
  int nodeType = IB_UNKNOWN_NODE;
  std::string nodeName;     // unique, without blanks
  std::string description;  // as the topology file gives it
  uint64_t nodeGuid = 0;
  uint64_t systemGuid = 0;
  uint8_t portCount = 0;
  uint16_t lid = 0;  // a switch's own LID (its port 0)

  // By port number; port 0 is always null. A port number up to portCount
  // that the topology never shows is null too.
  PortTable portTable;

  // Which forwarding table a packet entering through port p uses:
  // ingressTable[p]. Empty when the switch has no private map (all table 0).
  std::vector<uint8_t> ingressTable;
  // lfts[t][lid] is the egress port for lid in table t; LIDs past the end of
  // a table, and tables past the end of lfts, have no entry.
  std::vector<std::vector<uint8_t>> lfts;
  // Bit t set: table t was filled by a section of the forwarding-table file.
  uint16_t filledTables = 0;

  bool isSwitch() const { return nodeType == IB_SW_NODE; }
  IBPort* getPort(unsigned n) const { return portTable[n]; }

  // Egress port for lid in the given table; kLftNoEntry where there is none.
  uint8_t getLFTPortForLid(uint16_t lid, uint8_t table) const {
    if (table >= lfts.size() || lid >= lfts[table].size()) return kLftNoEntry;
    return lfts[table][lid];
  }
  // The whole table t (possibly empty), for loops that look up many LIDs.
  std::span<const uint8_t> lft(uint8_t table) const {
    if (table >= lfts.size()) return {};
    return lfts[table];
  }
  void setLFTPortForLid(uint16_t lid, uint8_t port, uint8_t table);

  // Table used by packets that enter through port p (table 0 where unmapped).
  uint8_t tableForIngress(unsigned p) const {
    return p < ingressTable.size() ? ingressTable[p] : 0;
  }
};

// Node-name order of IBFabric::nodeMap: plain byte-wise order.
struct strless {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a < b; }
};

// What createNodes needs to know of each node.
struct NodeDecl {
  int nodeType = IB_UNKNOWN_NODE;
  std::string nodeName;
  std::string description;
  uint64_t nodeGuid = 0;
  uint64_t systemGuid = 0;
  uint8_t portCount = 0;
  uint16_t lid = 0;
  // Bit n set: port n exists (1 <= n <= portCount); the other entries of
  // the port table stay null. With no bit set, ports 1..portCount all exist.
  std::bitset<256> ports{};
};

// Names every node from its description, as all topology readers do: blanks
// trimmed and each inner run made one '_' ("node01 HCA-1" is node01_HCA-1),
// the NodeGUID ("0x" and 16 hex digits) for an empty description. Nodes that
// would share a name are each named NAME_0x<NodeGUID> instead, and where that
// is taken as well, NAME_0x<NodeGUID>_2, _3, ... up to the first free one.
void nameNodes(std::vector<NodeDecl>& decls);

// The one rule every topology reader applies to a node description: no
// control character but the tab, so that no terminal escape read from a dump
// reaches a console, a pairs file or a report. Null when the description
// holds none, else the problem for a "FILE:LINE: problem" message.
const char* descriptionProblem(std::string_view description);

class IBFabric {
 public:
  IBFabric();
  IBFabric(const IBFabric&) = delete;
  IBFabric& operator=(const IBFabric&) = delete;
  IBFabric(IBFabric&&) = default;
  IBFabric& operator=(IBFabric&&) = default;

  std::map<std::string, IBNode*, strless> nodeMap;

  // Creates all nodes with their ports (see NodeDecl::ports), in the order
  // given, in two arrays that never move afterwards: nodes and ports are laid out in
  // creation order, so comparing two port addresses compares their creation
  // order. Call once, on an empty fabric; names must be unique. Returns 0, or
  // nonzero (with *err set when err is given) on a duplicate name, a port
  // outside 1..portCount or a second call.
  int createNodes(std::vector<NodeDecl> decls, std::string* err = nullptr);

  IBNode* getNode(std::string_view name) const;
  // Port n of the named node, or null.
  IBPort* getPort(std::string_view nodeName, unsigned n) const;
  // Joins two ports both ways (either may already be linked to the other).
  static void link(IBPort* a, IBPort* b);

  // All nodes in creation order.
  std::span<IBNode> nodes() { return nodes_; }
  std::span<const IBNode> nodes() const { return nodes_; }
  // All ports in creation order (node by node, port number ascending).
  std::span<IBPort> ports() { return ports_; }
  std::span<const IBPort> ports() const { return ports_; }

  // Readers of the three dump formats. Each returns 0 on success; on failure
  // it prints "FILE:LINE: problem" on standard error and returns nonzero. The
  // second argument of parseSubnetLinks is reserved and must be null.
  int parseSubnetLinks(const std::string& fileName, const char* reserved);
  int parsePLFTFile(const std::string& fileName);
  int parseFdbFile(const std::string& fileName);

  // Does nothing: the model keeps no load time. The constructor calls it.
  static void SetTimestamp() {}

 private:
  std::vector<IBNode> nodes_;
  std::vector<IBPort> ports_;
};

// The version of this build, as printed by -V.
const char* get_corvex_version();
