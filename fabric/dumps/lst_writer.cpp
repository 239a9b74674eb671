#include <string>

#include "fabric/dumps/writers.h"

namespace {

uint64_t portGuid(const IBPort& p) {
  // A switch's ports all share the switch's port GUID.
  if (p.guid == 0 && p.owner && p.owner->isSwitch()) return p.owner->nodeGuid;
  return p.guid;
}

uint16_t portLid(const IBPort& p) {
  return p.owner && p.owner->isSwitch() ? p.owner->lid : p.baseLid;
}

// The near end of a line carries short vendor and device ids, the far end
// the long ones, as a subnet manager's dump does.
char* putEnd(char* o, const IBPort& p, bool nearEnd) {
  const IBNode& n = *p.owner;
  o = putStr(o, "{ ");
  o = putStr(o, nodeTypeName(n.nodeType));
  o = putStr(o, " Ports:");
  o = putHex(o, n.portCount, 2, true);
  o = putStr(o, " SystemGUID:");
  o = putHex(o, n.systemGuid, 16, false);
  o = putStr(o, " NodeGUID:");
  o = putHex(o, n.nodeGuid, 16, false);
  o = putStr(o, " PortGUID:");
  o = putHex(o, portGuid(p), 16, false);
  if (n.isSwitch())
    o = putStr(o, nearEnd ? " VenID:0002C9 DevID:CF08" : " VenID:000002C9 DevID:CF080000");
  else
    o = putStr(o, nearEnd ? " VenID:0002C9 DevID:101B" : " VenID:000002C9 DevID:101B0000");
  o = putStr(o, " Rev:000000A1 {");
  o = putStr(o, n.description);
  o = putStr(o, "} LID:");
  o = putHex(o, portLid(p), 4, true);
  o = putStr(o, " PN:");
  o = putHex(o, p.portNumber, 2, true);
  return putStr(o, " }");
}

// "PHY=4x LOG=ACT SPD=50" as a subnet manager writes it; a width or speed
// the fabric does not know is left out.
char* putTail(char* o, const IBPort& p) {
  if (p.width) {
    o = putStr(o, " PHY=");
    o = putDec(o, p.width, 1);
    *o++ = 'x';
  }
  o = putStr(o, " LOG=ACT");
  std::string gbps = linkSpeedGbps(p.speed);
  if (!gbps.empty()) {
    o = putStr(o, " SPD=");
    o = putStr(o, gbps);
  }
  return putStr(o, "\n");
}

// A description the reader would cut short or split.
bool writableDescription(std::string_view d) {
  if (d.find("} LID:") != std::string_view::npos) return false;
  for (char c : d)
    if (c == '\n' || c == '\r' || c == '\0') return false;
  return true;
}

}  // namespace

bool writeLstFile(const IBFabric& fabric, const std::string& path, std::string* err) {
  for (const IBNode& n : fabric.nodes()) {
    if (!writableDescription(n.description)) {
      *err = path + ": node " + n.nodeName +
             ": its description cannot be written (a line break, NUL or \"} LID:\" in it)";
      return false;
    }
  }
  DumpWriter out(path);
  for (const IBNode& n : fabric.nodes()) {
    for (const IBPort* p : n.portTable) {
      if (!p || !p->remote || !p->remote->owner) continue;
      size_t room = 2 * (200 + n.description.size() + p->remote->owner->description.size());
      char* o = out.reserve(room);
      o = putEnd(o, *p, true);
      *o++ = ' ';
      o = putEnd(o, *p->remote, false);
      o = putTail(o, *p);
      out.commit(o);
    }
  }
  return out.finish(err);
}
