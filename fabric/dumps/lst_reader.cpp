// Topology (LST) reader: one link per line, each end a node/port record.
//
// Nodes must be created in one createNodes call in the order they first
// appear, so the scan first collects node and port records in flat arrays
// (keyed by NodeGUID through one hash map), and only then builds the fabric.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/topology_reader.h"
#include "fabric/fabric.h"
#include "fabric/guid_index.h"
#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

namespace {

// One end of a link line, as written.
struct LinkEnd {
  int type = IB_UNKNOWN_NODE;
  uint8_t ports = 0;
  uint64_t systemGuid = 0;
  uint64_t nodeGuid = 0;
  uint64_t portGuid = 0;
  std::string_view description;
  uint16_t lid = 0;
  uint8_t pn = 0;
};

struct NodeRec {
  int type;
  uint8_t ports;
  uint64_t guid;
  uint64_t systemGuid;
  uint16_t lid;  // switches only
  std::string description;
  size_t line;  // first line naming the node
};

constexpr uint32_t kNoPort = ~uint32_t{0};
// InfiniBand numbers ports 1 to 254; 255 means "no port" in forwarding tables.
constexpr unsigned kMaxPort = 254;

// A port some line shows; only those get a record, whatever the node's count.
struct PortRec {
  uint32_t node = 0;
  uint8_t pn = 0;
  uint64_t guid = 0;
  uint32_t remote = kNoPort;
  uint16_t lid = 0;
  uint8_t width = 0;
  uint32_t speed = 0;
  size_t line = 0;      // first line showing the port; 0 while unseen
  size_t linkLine = 0;  // line that linked it
};

// Width and speed from a link's tail ("PHY=4x LOG=ACT SPD=50"). Dumps of
// other subnet managers write other tails: what cannot be read stays 0.
struct LinkRate {
  uint8_t width = 0;
  uint32_t speed = 0;
};

LinkRate readTail(std::string_view tail) {
  LinkRate rate;
  size_t i = 0;
  while (i < tail.size()) {
    while (i < tail.size() && isBlank(tail[i])) ++i;
    size_t start = i;
    while (i < tail.size() && !isBlank(tail[i])) ++i;
    std::string_view word = tail.substr(start, i - start);
    if (word.starts_with("PHY=") && word.size() > 5 && word.back() == 'x') {
      const char* p = word.data() + 4;
      const char* end = word.data() + word.size() - 1;
      uint64_t lanes;
      if (scanDec(&p, end, 99, &lanes) == NumScan::kOk && p == end) rate.width = linkWidth(lanes);
    } else if (word.starts_with("SPD=")) {
      rate.speed = linkSpeedFromGbps(word.substr(4));
    }
  }
  return rate;
}

std::string hex(uint64_t v, int width) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(v));
  return text;
}

// Hand scanner over one line; on failure `problem` says what is wrong.
struct Scanner {
  const char* p;
  const char* end;
  std::string problem;

  bool literal(std::string_view text, std::string_view where) {
    if (static_cast<size_t>(end - p) >= text.size() && std::string_view(p, text.size()) == text) {
      p += text.size();
      return true;
    }
    problem = "expected '" + std::string(text) + "' " + std::string(where);
    return false;
  }

  // "LABEL:" then hex digits ending at a blank (or end of line).
  bool hexField(std::string_view label, int bits, uint64_t* value) {
    if (!literal(label, "")) {
      problem = "expected field '" + std::string(label) + "'";
      return false;
    }
    std::string_view name = label.substr(label.size() > 1 && label[0] == ' ' ? 1 : 0);
    name.remove_suffix(1);  // the ':'
    uint64_t max = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    NumScan r = scanHex(&p, end, max, value);
    if (r == NumScan::kNoDigits || (p < end && *p != ' ')) {
      problem = std::string(name) + ": hexadecimal number expected";
      return false;
    }
    if (r == NumScan::kTooLarge) {
      problem = std::string(name) + ": value too large for " + std::to_string(bits) + " bits";
      return false;
    }
    return true;
  }

  bool linkEnd(LinkEnd* e) {
    if (!literal("{ ", "at the start of a port record")) return false;
    const char* t = p;
    while (p < end && *p != ' ') ++p;
    std::string_view type(t, static_cast<size_t>(p - t));
    if (type.size() > 3 && type.substr(type.size() - 3) == "-SM") type.remove_suffix(3);
    if (type == "SW") {
      e->type = IB_SW_NODE;
    } else if (type == "CA") {
      e->type = IB_CA_NODE;
    } else if (type == "Rt") {
      e->type = IB_RTR_NODE;
    } else if (type == "**") {
      e->type = IB_UNKNOWN_NODE;
    } else {
      problem = "unknown node type '" + echoText(std::string_view(t, p - t)) +
                "' (expected SW, CA, Rt or **)";
      return false;
    }
    uint64_t v;
    if (!hexField(" Ports:", 8, &v)) return false;
    if (v > kMaxPort) {
      problem = "Ports: " + hex(v, 2) + " is above " + std::to_string(kMaxPort) +
                ", the most ports a node can have";
      return false;
    }
    e->ports = static_cast<uint8_t>(v);
    if (!hexField(" SystemGUID:", 64, &e->systemGuid)) return false;
    if (!hexField(" NodeGUID:", 64, &e->nodeGuid)) return false;
    if (!hexField(" PortGUID:", 64, &e->portGuid)) return false;
    if (!hexField(" VenID:", 24, &v)) return false;
    if (!hexField(" DevID:", 32, &v)) return false;
    if (!hexField(" Rev:", 32, &v)) return false;
    if (!literal(" {", "before the node description")) return false;
    // The description may hold blanks and braces: it ends at the first "} LID:".
    std::string_view rest(p, static_cast<size_t>(end - p));
    size_t close = rest.find("} LID:");
    if (close == std::string_view::npos) {
      problem = "node description not closed by '} LID:'";
      return false;
    }
    e->description = rest.substr(0, close);
    if (const char* why = descriptionProblem(e->description)) {
      problem = why;
      return false;
    }
    p += close + 1;
    if (!hexField(" LID:", 16, &v)) return false;
    e->lid = static_cast<uint16_t>(v);
    if (!hexField(" PN:", 8, &v)) return false;
    e->pn = static_cast<uint8_t>(v);
    if (!literal(" }", "after the port number")) return false;
    if (e->pn == 0) {
      problem = "port number 0x00 is not valid: ports are numbered from 1";
      return false;
    }
    if (e->pn > e->ports) {
      problem = "port number " + hex(e->pn, 2) + " is above the node's " +
                std::to_string(e->ports) + " ports";
      return false;
    }
    return true;
  }
};

// "node 0x<guid> ('DESCRIPTION')": how messages point at a node before it has
// a name.
std::string nodeText(const NodeRec& n) {
  return "node " + guidText(n.guid) + " ('" + echoText(n.description) + "')";
}

class LstBuilder {
 public:
  explicit LstBuilder(LineReader& in) : in_(in), byPort_(0, GuidIndex::kNodePorts) {}

  // Records one line's link; false with *problem set on a conflict.
  bool addLink(const LinkEnd& a, const LinkEnd& b, LinkRate rate, std::string* problem) {
    uint32_t na, nb;
    if (!noteNode(a, &na, problem) || !noteNode(b, &nb, problem)) return false;
    uint32_t pa = portRecord(na, a.pn);
    uint32_t pb = portRecord(nb, b.pn);
    if (!notePort(nodes_[na], a, pa, problem) || !notePort(nodes_[nb], b, pb, problem))
      return false;
    if (pa == pb) {
      *problem = portText(pa) + " is linked to itself";
      return false;
    }
    PortRec& ra = ports_[pa];
    PortRec& rb = ports_[pb];
    // A rate one line leaves out, another line of the same link may give.
    if (!ra.width) ra.width = rb.width = rate.width;
    if (!ra.speed) ra.speed = rb.speed = rate.speed;
    if (ra.remote == pb) return true;  // the same link seen again
    for (uint32_t p : {pa, pb}) {
      uint32_t other = p == pa ? pb : pa;
      if (ports_[p].remote != kNoPort) {
        *problem = portText(p) + " is linked to " + portText(other) + " here but to " +
                   portText(ports_[p].remote) + " on line " + std::to_string(ports_[p].linkLine);
        return false;
      }
    }
    ra.remote = pb;
    rb.remote = pa;
    ra.linkLine = rb.linkLine = in_.lineNumber();
    return true;
  }

  bool empty() const { return nodes_.empty(); }

  // Names the nodes and creates the fabric from the records.
  bool build(IBFabric& fabric, std::string* err) {
    std::vector<NodeDecl> decls(nodes_.size());
    for (size_t i = 0; i < nodes_.size(); ++i) {
      NodeRec& n = nodes_[i];
      NodeDecl& d = decls[i];
      d.nodeType = n.type;
      d.description = std::move(n.description);
      d.nodeGuid = n.guid;
      d.systemGuid = n.systemGuid;
      d.portCount = n.ports;
      d.lid = n.type == IB_SW_NODE ? n.lid : 0;
    }
    // A port exists only where a line shows it.
    for (const PortRec& p : ports_) decls[p.node].ports.set(p.pn);
    nameNodes(decls);
    std::string why;
    if (fabric.createNodes(std::move(decls), &why) != 0) {
      *err = in_.fileName() + ": " + why;
      return false;
    }
    std::vector<IBPort*> portOf(ports_.size());
    std::span<IBNode> built = fabric.nodes();
    for (size_t i = 0; i < ports_.size(); ++i)
      portOf[i] = built[ports_[i].node].getPort(ports_[i].pn);
    for (size_t i = 0; i < ports_.size(); ++i) {
      IBPort* port = portOf[i];
      port->guid = ports_[i].guid;
      port->width = ports_[i].width;
      port->speed = ports_[i].speed;
      if (!port->owner->isSwitch()) port->baseLid = ports_[i].lid;
      if (ports_[i].remote != kNoPort && ports_[i].remote > i) {
        IBFabric::link(port, portOf[ports_[i].remote]);
      }
    }
    return true;
  }

 private:
  bool noteNode(const LinkEnd& e, uint32_t* index, std::string* problem) {
    bool added;
    *index = byGuid_.findOrAdd(
        e.nodeGuid, static_cast<uint32_t>(nodes_.size()),
        [this](uint32_t i) { return nodes_[i].guid; }, &added);
    if (added) {
      nodes_.push_back(NodeRec{e.type, e.ports, e.nodeGuid, e.systemGuid, e.lid,
                               std::string(e.description), in_.lineNumber()});
      return true;
    }
    const NodeRec& n = nodes_[*index];
    std::string seen = " on line " + std::to_string(n.line);
    if (n.type != e.type) {
      *problem = nodeText(n) + " is a " + std::string(nodeTypeName(e.type)) + " here but a " +
                 std::string(nodeTypeName(n.type)) + seen;
    } else if (n.ports != e.ports) {
      *problem = nodeText(n) + " has " + std::to_string(e.ports) + " ports here but " +
                 std::to_string(n.ports) + seen;
    } else if (n.description != e.description) {
      *problem = "node " + guidText(n.guid) + " is described as '" + echoText(e.description) +
                 "' here but as '" + echoText(n.description) + "'" + seen;
    } else if (n.type == IB_SW_NODE && n.lid != e.lid) {
      *problem = "switch " + nodeText(n) + " has LID " + hex(e.lid, 4) + " here but " +
                 hex(n.lid, 4) + seen;
    } else {
      return true;
    }
    return false;
  }

  bool notePort(const NodeRec& n, const LinkEnd& e, uint32_t index, std::string* problem) {
    PortRec& p = ports_[index];
    if (p.line == 0) {
      p.guid = e.portGuid;
      p.lid = e.lid;
      p.line = in_.lineNumber();
      return true;
    }
    std::string seen = " on line " + std::to_string(p.line);
    if (p.guid != e.portGuid) {
      *problem = portText(index) + " has PortGUID " + guidText(e.portGuid) + " here but " +
                 guidText(p.guid) + seen;
      return false;
    }
    if (n.type != IB_SW_NODE && p.lid != e.lid) {
      *problem =
          portText(index) + " has LID " + hex(e.lid, 4) + " here but " + hex(p.lid, 4) + seen;
      return false;
    }
    return true;
  }

  std::string portText(uint32_t index) const {
    return "port " + std::to_string(ports_[index].pn) + " of " +
           nodeText(nodes_[ports_[index].node]);
  }

  static uint64_t portKey(uint32_t node, uint8_t pn) { return uint64_t{node} << 8 | pn; }

  // The record of port pn of node, added (unseen: line 0) at its first sight.
  uint32_t portRecord(uint32_t node, uint8_t pn) {
    bool added;
    uint32_t p = byPort_.findOrAdd(
        portKey(node, pn), static_cast<uint32_t>(ports_.size()),
        [this](uint32_t i) { return portKey(ports_[i].node, ports_[i].pn); }, &added);
    if (added) {
      ports_.emplace_back();
      ports_.back().node = node;
      ports_.back().pn = pn;
    }
    return p;
  }

  LineReader& in_;
  std::vector<NodeRec> nodes_;
  std::vector<PortRec> ports_;
  GuidIndex byGuid_;  // NodeGUID -> node record
  GuidIndex byPort_;  // node record and port number -> port record
};

}  // namespace

bool readLstFile(IBFabric& fabric, const std::string& fileName, std::string* err) {
  LineReader in;
  if (!in.open(fileName, err)) return false;
  // The first line that says something tells the form. Collection scripts
  // keep "DR path" progress lines before a discovery diagnostic's output.
  std::string_view line;
  bool more;
  size_t firstDrPath = 0;
  while ((more = in.next(&line)) && (isBlankOrComment(line) || line.starts_with("DR path "))) {
    if (!firstDrPath && !isBlankOrComment(line)) firstDrPath = in.lineNumber();
  }
  TopologyForm form = more ? topologyFormOf(line) : TopologyForm::kLst;
  if (form != TopologyForm::kLst) return readIbnetdiscover(in, line, form, fabric, err);
  if (firstDrPath) {
    *err = fileName + ":" + std::to_string(firstDrPath) +
           ": expected '{ ' at the start of a port record";
    return false;
  }
  LstBuilder builder(in);
  for (; more; more = in.next(&line)) {
    if (isBlankOrComment(line)) continue;
    Scanner s{line.data(), line.data() + line.size(), {}};
    LinkEnd a, b;
    std::string problem;
    if (!s.linkEnd(&a) || !s.literal(" ", "between the two port records") || !s.linkEnd(&b)) {
      *err = in.lineError(s.problem);
      return false;
    }
    if (s.p < s.end && *s.p != ' ') {
      *err = in.lineError("unexpected text after the second port record");
      return false;
    }
    LinkRate rate = readTail(std::string_view(s.p, static_cast<size_t>(s.end - s.p)));
    if (!builder.addLink(a, b, rate, &problem)) {
      *err = in.lineError(problem);
      return false;
    }
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  if (in.bytesRead() == 0) {
    *err = fileName + ": the file is empty";
    return false;
  }
  if (builder.empty()) {
    *err = fileName + ": no link line found (not a topology file?)";
    return false;
  }
  return builder.build(fabric, err);
}
