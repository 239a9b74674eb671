#include <string>
#include <vector>

#include "fabric/writers.h"

namespace {

constexpr int kMaxHops = 64;

// Follows the tables from a switch to find how many links a LID's route
// crosses, for the Hops column. Neighbours are resolved once per file.
class HopCounter {
 public:
  explicit HopCounter(const IBFabric& fabric) : nodes_(fabric.nodes()) {
    firstPort_.resize(nodes_.size() + 1, 0);
    for (size_t i = 0; i < nodes_.size(); ++i)
      firstPort_[i + 1] = firstPort_[i] + nodes_[i].portTable.size();
    hops_.resize(firstPort_.back());
    for (size_t i = 0; i < nodes_.size(); ++i) {
      const IBNode& n = nodes_[i];
      for (size_t p = 0; p < n.portTable.size(); ++p) {
        Hop& h = hops_[firstPort_[i] + p];
        const IBPort* port = n.portTable[p];
        if (!port || !port->remote || !port->remote->owner) continue;
        const IBNode* far = port->remote->owner;
        if (!far->isSwitch()) {
          h.next = kToHost;
          continue;
        }
        h.next = static_cast<int32_t>(far - nodes_.data());
        h.table = far->tableForIngress(port->remote->portNumber);
      }
    }
  }

  // Links from switch `sw` to `lid` when entering with `table`; -1 when the
  // route ends nowhere or loops.
  int count(size_t sw, uint8_t table, uint16_t lid) const {
    for (int steps = 0; steps < kMaxHops; ++steps) {
      const IBNode& n = nodes_[sw];
      uint8_t port = n.getLFTPortForLid(lid, table);
      if (port == 0) return steps;
      if (size_t{port} >= n.portTable.size()) return -1;
      const Hop& h = hops_[firstPort_[sw] + port];
      if (h.next == kNowhere) return -1;
      if (h.next == kToHost) return steps + 1;
      sw = static_cast<size_t>(h.next);
      table = h.table;
    }
    return -1;
  }

 private:
  static constexpr int32_t kNowhere = -2;
  static constexpr int32_t kToHost = -1;
  struct Hop {
    int32_t next = kNowhere;
    uint8_t table = 0;
  };
  std::span<const IBNode> nodes_;
  std::vector<size_t> firstPort_;
  std::vector<Hop> hops_;
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
void putASection(DumpWriter& out, const HopCounter& hops, size_t sw, const IBNode& n, uint8_t table,
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
      int h = hops.count(sw, table, static_cast<uint16_t>(lid));
      o = putStr(o, " : ");
      o = putDec(o, port, 3);
      o = putStr(o, "  : ");
      o = putDec(o, h < 0 ? 0 : static_cast<unsigned>(h), 2);
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

std::string hex16(uint64_t v) {
  char buf[16];
  putHex(buf, v, 16, false);
  return std::string(buf, 16);
}

// The "Destination Info" text of each LID, as the LFT dump shows it. LIDs
// past a host's base LID (its LMC range) read "path #k out of N", N running
// up to the next LID that someone owns.
std::vector<std::string> destinationInfo(const IBFabric& fabric, uint16_t maxLid) {
  std::vector<std::string> info(size_t{maxLid} + 1);
  std::vector<const IBPort*> hostAt(size_t{maxLid} + 1, nullptr);
  std::vector<bool> owned(size_t{maxLid} + 1, false);
  for (const IBNode& n : fabric.nodes()) {
    if (n.isSwitch()) {
      if (n.lid == 0 || n.lid > maxLid) continue;
      uint64_t guid = n.getPort(1) && n.getPort(1)->guid ? n.getPort(1)->guid : n.nodeGuid;
      info[n.lid] = "(Switch portguid 0x" + hex16(guid) + ": '" + printable(n.description) + "')";
      owned[n.lid] = true;
      continue;
    }
    const char* kind = n.nodeType == IB_CA_NODE    ? "Channel Adapter"
                       : n.nodeType == IB_RTR_NODE ? "Router"
                                                   : "Unknown";
    for (const IBPort* p : n.portTable) {
      if (!p || p->baseLid == 0 || p->baseLid > maxLid) continue;
      info[p->baseLid] = std::string("(") + kind + " portguid 0x" + hex16(p->guid) + ": '" +
                         printable(n.description) + "')";
      owned[p->baseLid] = true;
      hostAt[p->baseLid] = p;
    }
  }
  size_t nextOwned = size_t{maxLid} + 1;
  for (size_t lid = maxLid; lid >= 1; --lid) {
    if (owned[lid]) {
      nextOwned = lid;
      continue;
    }
    // The owner of an LMC LID is the closest host base LID below it.
    size_t base = lid;
    while (base > 0 && !owned[base] && lid - base < 128) --base;
    if (base > 0 && hostAt[base] && lid - base < 128) {
      info[lid] = "(path #" + std::to_string(lid - base + 1) + " out of " +
                  std::to_string(nextOwned - base) + ": portguid 0x" + hex16(hostAt[base]->guid) +
                  ")";
    } else {
      info[lid] = "(unknown)";
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

  HopCounter hops(fabric);
  std::vector<std::string> info;
  if (layout == 'B') info = destinationInfo(fabric, maxLid);
  DumpWriter out(path);
  std::span<const IBNode> nodes = fabric.nodes();
  for (size_t i = 0; i < nodes.size() && out.ok(); ++i) {
    const IBNode& n = nodes[i];
    if (!n.isSwitch()) continue;
    sectionTables(n, path, &tables, err);
    for (uint8_t t : tables) {
      if (layout == 'B' && t == 0)
        putBSection(out, n, info, maxLid);
      else
        putASection(out, hops, i, n, t, maxLid);
    }
  }
  return out.finish(err);
}
