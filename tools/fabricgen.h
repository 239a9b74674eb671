// Synthetic fat-tree fabrics: topology, LIDs and forwarding tables built in
// the fabric model the way a fat-tree / up-down subnet manager would route
// them, and written out as the LST / FDB / PLFT dumps that linkdeal reads.
//
// Shapes. A two-level tree is a row of leaves under a row of spines: every
// leaf has hostsPerLeaf hosts and upLinks up ports, cabled parallelLinks at a
// time to each of upLinks / parallelLinks spines. A three-level tree is a set
// of pods, each a two-level tree of leaves and mid-level spines, joined by
// core switches: the mid spines of one index ("plane") in every pod connect to
// the same group of cores, again parallelLinks cables per pair. With radix 36
// and the defaults this is the classic 11,664-host, 1,620-switch tree.
#pragma once

#include <cstdint>
#include <string>

#include "fabric/fabric.h"

struct GenOptions {
  int levels = 2;         // 2: leaves and spines; 3: pods joined by cores
  int radix = 36;         // ports per switch
  int hostsPerLeaf = 0;   // 0: radix / 2
  int upLinks = 0;        // up ports per leaf; 0: as many as hosts (capped by the radix)
  int parallelLinks = 1;  // cables between each connected pair of switches
  // Two levels: number of leaves; three levels: leaves per pod. 0: as many
  // as the spines' ports allow.
  int leaves = 0;
  int pods = 0;          // three levels only; 0: as many as the cores' ports allow
  int hostsPerRack = 0;  // host names r<rack>n<node>; 0: one rack per leaf
  uint16_t lmc = 0;      // each host port owns 2^lmc LIDs, base LIDs aligned to 2^lmc
  // Leaves (and mid spines) with an even index get a second forwarding table
  // for packets entering from below, spreading them over the up ports with a
  // rotated choice.
  bool privateTables = false;
  // The last host is a two-port adapter cabled on port 2 only: port 1 has
  // no link and no LID, port 2 takes the host's LIDs.
  bool deadPort1Host = false;
  // Lay the fabric out the way a long-lived subnet leaves it: host and switch
  // LIDs handed out in an order drawn from shuffleSeed over the used range,
  // with a few gaps, and the nodes (so the dumps' lines) in another drawn
  // order. The same seed gives the same fabric.
  bool shuffled = false;
  uint32_t shuffleSeed = 0;
  // How the tables are filled. kFatTree: destination-mod-k, every host's routes
  // spread evenly by its place in the tree. kMinHop: as a subnet manager's
  // min-hop engine fills them: destination LIDs in ascending order, each
  // switch picking the least used so far of its ports on a shortest path
  // (ties by port number); with shuffled LIDs the spread is far from even.
  enum class Routing : uint8_t { kFatTree, kMinHop } routing = Routing::kFatTree;

  // Faults, each of which breaks some host-to-host route.
  bool faultMissingEntry = false;  // a leaf loses the entry of one host's LID
  bool faultLoop = false;          // a leaf and a spine bounce one host's LID between them
  bool faultWrongHost = false;     // a leaf forwards one host's LID to its neighbour host
};

// What a generated fabric holds; filled by generateFabric.
struct GenSummary {
  int hosts = 0;
  int switches = 0;
  int links = 0;  // cables (each counted once)
  uint16_t maxLid = 0;
};

// Fills in the defaults (the zeros above) and checks that the shape fits the
// radix, the LID space and the faults asked for.
bool resolveGenOptions(GenOptions& options, std::string* err);

// Builds the fabric into an empty model: nodes (one createNodes call), links,
// GUIDs, LIDs, forwarding tables and, with privateTables, ingress maps.
// Same options, same fabric. Returns false with *err set on bad options.
bool generateFabric(const GenOptions& options, IBFabric& fabric, std::string* err,
                    GenSummary* summary = nullptr);

// Writes dir/fabric.lst, dir/fabric.fdbs (layout 'A' or 'B') and, when some
// switch has an ingress map, dir/fabric.plft. The folder must exist.
bool writeFabricFiles(const IBFabric& fabric, const std::string& dir, char layout,
                      std::string* err);
