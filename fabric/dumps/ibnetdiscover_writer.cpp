// Topology in the discovery diagnostic's two forms, laid out as it prints
// them: the plain form (which the fabric simulator also reads) and the ports
// report. Together with the LST writer, the one entry point for every form.

#include <string>
#include <string_view>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/writers.h"

namespace {

// Lower-case hex without leading zeros, as the plain form's key=value lines
// and parenthesised port GUIDs print them.
char* putHexShort(char* o, uint64_t v) {
  int digits = 1;
  while (digits < 16 && (v >> (4 * digits)) != 0) ++digits;
  return putHex(o, v, digits, false);
}

uint16_t portLid(const IBPort& p) {
  return p.owner->isSwitch() ? p.owner->lid : p.baseLid;
}

uint64_t portGuid(const IBPort& p) {
  return p.owner->isSwitch() ? p.owner->nodeGuid : p.guid;
}

// "S-", "H-" or "R-" and the 16-digit NodeGUID, in quotes.
char* putNodeId(char* o, const IBNode& n) {
  *o++ = '"';
  *o++ = n.isSwitch() ? 'S' : n.nodeType == IB_RTR_NODE ? 'R' : 'H';
  *o++ = '-';
  o = putHex(o, n.nodeGuid, 16, false);
  *o++ = '"';
  return o;
}

// "4xHDR" (plain) or "4x HDR" (ports report); what the fabric does not know
// is "???", as the diagnostic prints an unknown value.
char* putRate(char* o, const IBPort& p, bool spaced) {
  if (p.width) {
    o = putDec(o, p.width, 1);
    *o++ = 'x';
  } else {
    o = putStr(o, "???");
  }
  if (spaced) *o++ = ' ';
  std::string_view speed = linkSpeedName(p.speed);
  return putStr(o, speed.empty() ? "???" : speed);
}

size_t lineRoom(const IBPort& p) {
  size_t room = 200 + p.owner->description.size();
  if (p.remote) room += p.remote->owner->description.size();
  return room;
}

// A description the reader could not find again: it ends at the last quote
// of its line, so only a line break or NUL breaks it.
bool writableDescription(std::string_view d) {
  for (char c : d)
    if (c == '\n' || c == '\r' || c == '\0') return false;
  return true;
}

bool writePlain(const IBFabric& fabric, DumpWriter& out) {
  // Switches first, then the other nodes, each with its cabled ports.
  const IBPort* from = nullptr;
  for (const IBPort& p : fabric.ports())
    if (!p.owner->isSwitch() && p.remote) {
      from = &p;
      break;
    }
  char* o = out.reserve(200);
  o = putStr(o, "#\n# Topology file: generated from the fabric model\n#\n");
  if (from) {
    o = putStr(o, "# Initiated from node ");
    o = putHex(o, from->owner->nodeGuid, 16, false);
    o = putStr(o, " port ");
    o = putHex(o, from->guid, 16, false);
    *o++ = '\n';
  }
  out.commit(o);
  for (int pass = 0; pass < 2; ++pass) {
    for (const IBNode& n : fabric.nodes()) {
      if (n.isSwitch() != (pass == 0)) continue;
      bool cabled = false;
      for (const IBPort* p : n.portTable) cabled |= p && p->remote;
      if (!cabled) continue;
      o = out.reserve(300 + n.description.size());
      o = putStr(o, n.isSwitch() ? "\nvendid=0x2c9\ndevid=0xcf08\nsysimgguid=0x"
                                 : "\nvendid=0x2c9\ndevid=0x101b\nsysimgguid=0x");
      o = putHexShort(o, n.systemGuid);
      if (n.isSwitch()) {
        o = putStr(o, "\nswitchguid=0x");
        o = putHexShort(o, n.nodeGuid);
        *o++ = '(';
        o = putHexShort(o, n.nodeGuid);
        o = putStr(o, ")\nSwitch\t");
      } else {
        o = putStr(o, n.nodeType == IB_RTR_NODE ? "\nrtguid=0x" : "\ncaguid=0x");
        o = putHexShort(o, n.nodeGuid);
        o = putStr(o, n.nodeType == IB_RTR_NODE ? "\nRt\t" : "\nCa\t");
      }
      o = putDec(o, n.portCount, 1);
      *o++ = ' ';
      o = putNodeId(o, n);
      o = putStr(o, "\t\t# \"");
      o = putStr(o, n.description);
      *o++ = '"';
      if (n.isSwitch()) {
        o = putStr(o, " enhanced port 0 lid ");
        o = putDec(o, n.lid, 1);
        o = putStr(o, " lmc 0");
      }
      *o++ = '\n';
      out.commit(o);
      for (const IBPort* p : n.portTable) {
        if (!p || !p->remote) continue;
        const IBPort& r = *p->remote;
        o = out.reserve(lineRoom(*p));
        *o++ = '[';
        o = putDec(o, p->portNumber, 1);
        *o++ = ']';
        if (!n.isSwitch()) {
          *o++ = '(';
          o = putHexShort(o, p->guid);
          o = putStr(o, ") ");
        }
        *o++ = '\t';
        o = putNodeId(o, *r.owner);
        *o++ = '[';
        o = putDec(o, r.portNumber, 1);
        *o++ = ']';
        if (!r.owner->isSwitch()) {
          *o++ = '(';
          o = putHexShort(o, r.guid);
          o = putStr(o, ") ");
        }
        o = putStr(o, "\t\t# ");
        if (!n.isSwitch()) {
          o = putStr(o, "lid ");
          o = putDec(o, p->baseLid, 1);
          o = putStr(o, " lmc 0 ");
        }
        *o++ = '"';
        o = putStr(o, r.owner->description);
        o = putStr(o, "\" lid ");
        o = putDec(o, portLid(r), 1);
        *o++ = ' ';
        o = putRate(o, *p, false);
        *o++ = '\n';
        out.commit(o);
      }
    }
  }
  return true;
}

// "CA    59  1 0x<GUID> 4x HDR": one end of a ports-report line; the remote
// end stops after the GUID.
char* putReportEnd(char* o, const IBPort& p, bool withRate) {
  const IBNode& n = *p.owner;
  o = putStr(o, n.isSwitch() ? "SW" : n.nodeType == IB_RTR_NODE ? "RT" : "CA");
  char field[8];
  char* e = putDec(field, portLid(p), 1);
  for (long pad = 6 - (e - field); pad > 0; --pad) *o++ = ' ';
  o = putStr(o, std::string_view(field, static_cast<size_t>(e - field)));
  e = putDec(field, p.portNumber, 1);
  for (long pad = 3 - (e - field); pad > 0; --pad) *o++ = ' ';
  o = putStr(o, std::string_view(field, static_cast<size_t>(e - field)));
  o = putStr(o, " 0x");
  o = putHex(o, portGuid(p), 16, false);
  if (!withRate) return o;
  *o++ = ' ';
  return putRate(o, p, true);
}

bool writePorts(const IBFabric& fabric, DumpWriter& out) {
  // Host ports first, then every switch port from the highest down, as the
  // diagnostic lists them; a switch port without a cable gets a line of its
  // own, which keeps the switch's port count.
  for (int pass = 0; pass < 2; ++pass) {
    for (const IBNode& n : fabric.nodes()) {
      if (n.isSwitch() != (pass == 1)) continue;
      for (size_t i = n.portTable.size(); i-- > 1;) {
        const IBPort* p = n.portTable[i];
        if (!p || (!p->remote && !n.isSwitch())) continue;
        char* o = out.reserve(lineRoom(*p));
        o = putReportEnd(o, *p, true);
        if (p->remote) {
          o = putStr(o, " - ");
          o = putReportEnd(o, *p->remote, false);
          o = putStr(o, " ( '");
          o = putStr(o, n.description);
          o = putStr(o, "' - '");
          o = putStr(o, p->remote->owner->description);
          o = putStr(o, "' )\n");
        } else {
          o = putStr(o, "                                    '");
          o = putStr(o, n.description);
          o = putStr(o, "'\n");
        }
        out.commit(o);
      }
    }
  }
  return true;
}

}  // namespace

bool writeTopologyFile(const IBFabric& fabric, const std::string& path, TopologyForm form,
                       std::string* err) {
  if (form == TopologyForm::kLst) return writeLstFile(fabric, path, err);
  for (const IBNode& n : fabric.nodes()) {
    bool bad = !writableDescription(n.description);
    // The ports report splits its two descriptions at "' - '".
    if (form == TopologyForm::kPorts && n.description.find("' - '") != std::string::npos)
      bad = true;
    if (bad) {
      *err = path + ": node " + n.nodeName +
             ": its description cannot be written in this form (a line break, NUL, or "
             "\"' - '\" in a ports report)";
      return false;
    }
  }
  DumpWriter out(path);
  if (form == TopologyForm::kPlain)
    writePlain(fabric, out);
  else
    writePorts(fabric, out);
  return out.finish(err);
}
