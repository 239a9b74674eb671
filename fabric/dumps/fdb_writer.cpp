#include <algorithm>
#include <string>
#include <vector>

#include "fabric/dumps/writers.h"

namespace {

// Who owns each LID. A host port owns its base LID and, with an LMC, the
// LIDs after it up to the next owned one (at most 128 in all): the file does
// not say the LMC, the LID layout does.
struct LidOwner {
  const IBNode* node = nullptr;  // a switch, or the host port's node
  const IBPort* port = nullptr;  // the host port; null for a switch
  int32_t attachedTo = -1;       // node index of the switch the LID sits on or behind
  uint8_t path = 0;              // 0 for a base LID, k for base + k
  uint8_t paths = 1;             // LIDs the owner holds
};

std::vector<LidOwner> lidOwners(const IBFabric& fabric, uint16_t maxLid) {
  std::vector<LidOwner> owners(size_t{maxLid} + 1);
  std::span<const IBNode> nodes = fabric.nodes();
  for (const IBNode& n : nodes) {
    if (n.isSwitch()) {
      if (n.lid == 0 || n.lid > maxLid) continue;
      LidOwner& o = owners[n.lid];
      o.node = &n;
      o.attachedTo = static_cast<int32_t>(&n - nodes.data());
      continue;
    }
    for (const IBPort* p : n.portTable) {
      if (!p || p->baseLid == 0 || p->baseLid > maxLid) continue;
      LidOwner& o = owners[p->baseLid];
      o.node = &n;
      o.port = p;
      if (p->remote && p->remote->owner && p->remote->owner->isSwitch())
        o.attachedTo = static_cast<int32_t>(p->remote->owner - nodes.data());
    }
  }
  size_t base = 0;
  for (size_t lid = 1; lid <= maxLid; ++lid) {
    if (owners[lid].node) {
      base = owners[lid].port ? lid : 0;
      continue;
    }
    if (base == 0 || lid - base >= 128) continue;
    owners[lid] = owners[base];
    owners[lid].path = static_cast<uint8_t>(lid - base);
    owners[base].paths = static_cast<uint8_t>(lid - base + 1);
  }
  for (size_t lid = 1; lid <= maxLid; ++lid)
    if (owners[lid].path) owners[lid].paths = owners[lid - owners[lid].path].paths;
  return owners;
}

// Hops column: the fewest links from a switch to the LID's owner, as a subnet
// manager reports it. One breadth-first pass over the switches per section
// keeps this linear in the output instead of walking every route.
class MinHops {
 public:
  static constexpr uint8_t kFar = 255;

  explicit MinHops(const IBFabric& fabric) : nodes_(fabric.nodes()) {
    start_.assign(nodes_.size() + 1, 0);
    for (size_t i = 0; i < nodes_.size(); ++i) {
      start_[i + 1] = start_[i];
      if (!nodes_[i].isSwitch()) continue;
      for (const IBPort* p : nodes_[i].portTable) {
        if (!p || !p->remote || !p->remote->owner || !p->remote->owner->isSwitch()) continue;
        next_.push_back(static_cast<uint32_t>(p->remote->owner - nodes_.data()));
        ++start_[i + 1];
      }
    }
    dist_.resize(nodes_.size());
  }

  // Distances from switch sw to every node index; kFar where unreachable.
  const std::vector<uint8_t>& from(size_t sw) {
    std::fill(dist_.begin(), dist_.end(), kFar);
    queue_.clear();
    dist_[sw] = 0;
    queue_.push_back(static_cast<uint32_t>(sw));
    for (size_t head = 0; head < queue_.size(); ++head) {
      uint32_t at = queue_[head];
      if (dist_[at] + 1 >= kFar) break;
      for (uint32_t e = start_[at]; e < start_[at + 1]; ++e) {
        uint32_t to = next_[e];
        if (dist_[to] != kFar) continue;
        dist_[to] = static_cast<uint8_t>(dist_[at] + 1);
        queue_.push_back(to);
      }
    }
    return dist_;
  }

 private:
  std::span<const IBNode> nodes_;
  std::vector<uint32_t> start_, next_, queue_;
  std::vector<uint8_t> dist_;
};

// Tables above 0 exist only for switches whose ingress map uses them; a
// table that no port uses could not be read back.
bool tableInUse(const IBNode& n, size_t t) {
  for (uint8_t used : n.ingressTable)
    if (used == t) return true;
  return false;
}

bool hasEntries(const std::vector<uint8_t>& table) {
  for (uint8_t port : table)
    if (port != kLftNoEntry) return true;
  return false;
}

// The tables of n worth a section, checked for what the reader would refuse.
bool sectionTables(const IBNode& n, const std::string& path, std::vector<uint8_t>* tables,
                   std::string* err) {
  tables->clear();
  tables->push_back(0);
  for (size_t t = 0; t < n.lfts.size(); ++t) {
    const std::vector<uint8_t>& table = n.lfts[t];
    for (size_t lid = 0; lid < table.size(); ++lid) {
      uint8_t port = table[lid];
      if (port != kLftNoEntry && port > n.portCount) {
        *err = path + ": switch " + n.nodeName + ": table " + std::to_string(t) + " sends LID " +
               std::to_string(lid) + " to port " + std::to_string(port) + ", above its " +
               std::to_string(n.portCount) + " ports";
        return false;
      }
    }
    if (t == 0) continue;
    bool filled = (n.filledTables >> t & 1) || hasEntries(table);
    if (!filled) continue;
    if (t >= kMaxLftTables || !tableInUse(n, t)) {
      *err = path + ": switch " + n.nodeName + ": table " + std::to_string(t) +
             " is used by none of its ports";
      return false;
    }
    tables->push_back(static_cast<uint8_t>(t));
  }
  return true;
}

void putAHeader(DumpWriter& out, const IBNode& n, uint8_t table) {
  char* o = out.reserve(80);
  o = putStr(o, "dump_ucast_routes: Switch 0x");
  o = putHex(o, n.nodeGuid, 16, false);
  if (table > 0) {
    o = putStr(o, " PLFT ");
    o = putDec(o, table, 1);
  }
  o = putStr(o, "\nLID    : Port : Hops : Optimal\n");
  out.commit(o);
}

// Routing-dump rows for every LID up to maxLid.
void putASection(DumpWriter& out, const std::vector<uint8_t>& dist,
                 const std::vector<LidOwner>& owners, const IBNode& n, uint8_t table,
                 uint16_t maxLid) {
  putAHeader(out, n, table);
  for (uint32_t lid = 1; lid <= maxLid; ++lid) {
    char* o = out.reserve(40);
    *o++ = '0';
    *o++ = 'x';
    o = putHex(o, lid, 4, true);
    uint8_t port = n.getLFTPortForLid(static_cast<uint16_t>(lid), table);
    if (port == kLftNoEntry) {
      o = putStr(o, " : UNREACHABLE\n");
    } else {
      const LidOwner& owner = owners[lid];
      unsigned hops = 0;
      if (owner.attachedTo >= 0 && dist[size_t(owner.attachedTo)] != MinHops::kFar)
        hops = dist[size_t(owner.attachedTo)] + (owner.port ? 1 : 0);
      o = putStr(o, " : ");
      o = putDec(o, port, 3);
      o = putStr(o, "  : ");
      o = putDec(o, hops, 2);
      o = putStr(o, "   : yes\n");
    }
    out.commit(o);
  }
}

std::string printable(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return s;
}

// The "Destination Info" text of each LID, as the LFT dump shows it.
std::vector<std::string> destinationInfo(const std::vector<LidOwner>& owners) {
  std::vector<std::string> info(owners.size());
  for (size_t lid = 1; lid < owners.size(); ++lid) {
    const LidOwner& o = owners[lid];
    if (!o.node) {
      info[lid] = "(unknown)";
    } else if (!o.port) {
      const IBPort* p1 = o.node->getPort(1);
      uint64_t guid = p1 && p1->guid ? p1->guid : o.node->nodeGuid;
      info[lid] =
          "(Switch portguid " + guidText(guid) + ": '" + printable(o.node->description) + "')";
    } else if (o.path > 0) {
      info[lid] = "(path #" + std::to_string(o.path + 1) + " out of " + std::to_string(o.paths) +
                  ": portguid " + guidText(o.port->guid) + ")";
    } else {
      const char* kind = o.node->nodeType == IB_CA_NODE    ? "Channel Adapter"
                         : o.node->nodeType == IB_RTR_NODE ? "Router"
                                                           : "Unknown";
      info[lid] = std::string("(") + kind + " portguid " + guidText(o.port->guid) + ": '" +
                  printable(o.node->description) + "')";
    }
  }
  return info;
}

void putBSection(DumpWriter& out, const IBNode& n, const std::vector<std::string>& info,
                 uint16_t maxLid) {
  std::string desc = printable(n.description);
  char* o = out.reserve(120 + desc.size());
  o = putStr(o, "Unicast lids [0x0-0x");
  char hex[4];
  putHex(hex, maxLid, 4, false);
  int skip = 0;
  while (skip < 3 && hex[skip] == '0') ++skip;
  o = putStr(o, std::string_view(hex + skip, size_t(4 - skip)));
  o = putStr(o, "] of switch Lid ");
  o = putDec(o, n.lid, 1);
  o = putStr(o, " guid 0x");
  o = putHex(o, n.nodeGuid, 16, false);
  o = putStr(o, " (");
  o = putStr(o, desc);
  o = putStr(o, "):\n  Lid  Out   Destination\n       Port     Info \n");
  out.commit(o);
  uint32_t valid = 0;
  for (uint32_t lid = 1; lid <= maxLid; ++lid) {
    uint8_t port = n.getLFTPortForLid(static_cast<uint16_t>(lid), 0);
    if (port == kLftNoEntry) continue;
    ++valid;
    const std::string& text = info[lid];
    o = out.reserve(20 + text.size());
    *o++ = '0';
    *o++ = 'x';
    o = putHex(o, lid, 4, false);
    *o++ = ' ';
    o = putDec(o, port, 3);
    o = putStr(o, " : ");
    o = putStr(o, text);
    *o++ = '\n';
    out.commit(o);
  }
  o = out.reserve(40);
  o = putDec(o, valid, 1);
  o = putStr(o, " valid lids dumped \n");
  out.commit(o);
}

}  // namespace

uint16_t highestLid(const IBFabric& fabric) {
  uint16_t top = 0;
  for (const IBNode& n : fabric.nodes()) {
    if (n.lid > top) top = n.lid;
    for (const IBPort* p : n.portTable)
      if (p && p->baseLid > top) top = p->baseLid;
    for (const std::vector<uint8_t>& table : n.lfts) {
      size_t last = table.size();
      while (last > 0 && table[last - 1] == kLftNoEntry) --last;
      if (last > 0 && last - 1 > top) top = static_cast<uint16_t>(last - 1);
    }
  }
  return top;
}

bool writeFdbFile(const IBFabric& fabric, const std::string& path, char layout, std::string* err) {
  if (layout != 'A' && layout != 'B') {
    *err = path + ": unknown forwarding-table layout '" + std::string(1, layout) + "' (A or B)";
    return false;
  }
  const uint16_t maxLid = highestLid(fabric);
  std::vector<uint8_t> tables;
  for (const IBNode& n : fabric.nodes())
    if (n.isSwitch() && !sectionTables(n, path, &tables, err)) return false;

  std::vector<LidOwner> owners = lidOwners(fabric, maxLid);
  std::vector<std::string> info;
  if (layout == 'B') info = destinationInfo(owners);
  MinHops minHops(fabric);
  DumpWriter out(path);
  std::span<const IBNode> nodes = fabric.nodes();
  for (size_t i = 0; i < nodes.size() && out.ok(); ++i) {
    const IBNode& n = nodes[i];
    if (!n.isSwitch()) continue;
    sectionTables(n, path, &tables, err);
    const std::vector<uint8_t>* dist = nullptr;
    for (uint8_t t : tables) {
      if (layout == 'B' && t == 0) {
        putBSection(out, n, info, maxLid);
        continue;
      }
      if (!dist) dist = &minHops.from(i);
      putASection(out, *dist, owners, n, t, maxLid);
    }
  }
  return out.finish(err);
}
