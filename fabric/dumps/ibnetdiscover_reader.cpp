// Topology as the discovery diagnostic prints it, in either of its forms:
//
// The plain form, one record per node:
//   sysimgguid=0xc42a1031eaa5900
//   Switch  36 "S-0c42a1031eaa5900"  # "leaf08" enhanced port 0 lid 5 lmc 0
//   [1]  "H-b8cef603d6eee600"[1](b8cef603d6eee601)  # "r08n01 HCA-1" lid 69 4xHDR
//   Ca  1 "H-b8cef603aa48a900"  # "r08n08 HCA-1"
//   [1](b8cef603aa48a901)  "S-0c42a1031eaa5900"[8]  # lid 59 lmc 0 "leaf08" lid 5 4xHDR
// Port lines follow their record's header; the other key=value lines are
// not read. A port line names its remote by id and port, with the remote's
// description and LID, which must agree with the remote's own record.
//
// The ports report, one line per port end:
//   CA    59  1 0xb8cef603aa48a901 4x HDR - SW     5  8 0x0c42a1031eaa5900 ( 'h1' - 'leaf08' )
//   SW     5 36 0x0c42a1031eaa5900 4x SDR                              'leaf08'
// Its GUID is a switch's NodeGUID but a host's PortGUID, so every host port
// is a node of its own; a node's port count is the largest port it shows.
//
// Both forms are scanned into node and port records (nodes by GUID, ports by
// node and number, each through one flat hash table, so that a node costs
// the ports shown and not its highest port number), checked for agreement
// line by line, and built into the fabric at the end: nodes in order of first
// appearance, only those with a link.

#include <algorithm>
#include <array>
#include <cstring>
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

constexpr uint32_t kNone = ~uint32_t{0};
constexpr unsigned kMaxPorts = 254;

// What the scan knows of a node and of a port. The fields every line checks
// sit in records of half a cache line, for as many as possible to stay in
// cache; the descriptions sit in one shared text, and what only messages and
// the final build need (the lines things were first read on, a node's
// SystemGUID) sits apart.
enum : uint8_t {
  kTypeSeen = 1,
  kDescriptionSeen = 2,
  kLidSeen = 4,
  kHeaderSeen = 8,  // plain form: the node's own record was read
  kLinked = 16,
  kGuidSeen = 32,
};

struct NodeRec {
  uint64_t guid = 0;
  // The description: bytes [descriptionAt, descriptionAt + descriptionSize)
  // of Builder::descriptions_.
  uint64_t descriptionAt = 0;
  uint32_t descriptionSize = 0;
  uint16_t topShown = 0;  // one more than the largest port number shown; 0: none
  uint16_t lid = 0;       // a switch's own LID
  uint8_t type = IB_UNKNOWN_NODE;
  uint8_t portCount = 0;  // the header's count, or the largest port shown
  uint8_t seen = 0;
};

static_assert(sizeof(NodeRec) <= 32);

struct NodeAside {
  uint64_t systemGuid = 0;  // set with the plain form's own record
  size_t type = 0;
  size_t description = 0;
  size_t lid = 0;
  size_t header = 0;
};

struct PortRec {
  uint64_t guid = 0;
  uint32_t node = 0;
  uint32_t remote = kNone;
  uint32_t speed = 0;
  uint16_t lid = 0;
  uint8_t pn = 0;
  uint8_t width = 0;
  uint8_t seen = 0;
};

static_assert(sizeof(PortRec) <= 32);

struct PortAside {
  size_t first = 0;  // first line showing the port
  size_t guid = 0;
  size_t lid = 0;
  size_t link = 0;
};

// One end as a line shows it. Zero lines mean "this line does not say".
struct End {
  uint32_t node = ~uint32_t{0};  // the node's record when the caller knows it
  int type = IB_UNKNOWN_NODE;
  uint64_t nodeGuid = 0;
  unsigned pn = 0;
  uint64_t portGuid = 0;
  bool portGuidShown = false;
  uint16_t lid = 0;  // the port's LID (a host's) or the node's (a switch's)
  bool lidShown = false;
  std::string_view description;
  bool descriptionShown = false;
};

std::string_view typeWord(int type) {
  switch (type) {
    case IB_SW_NODE:
      return "switch";
    case IB_RTR_NODE:
      return "router";
    default:
      return "channel adapter";
  }
}

// The length of the key when the line is the plain form's "key=value" (a
// key of letters, digits and '_'), else 0. A third of a plain file's lines
// are these: the key is scanned once, with no library call.
size_t keyLength(std::string_view line) {
  size_t eq = 0;
  while (eq < line.size()) {
    char c = line[eq];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      break;
    ++eq;
  }
  return eq < line.size() && line[eq] == '=' ? eq : 0;
}

// Equality of two short texts (node descriptions), eight bytes at a time in
// line: a library call per port line costs more than the compare.
[[gnu::always_inline]] inline bool sameText(std::string_view a, std::string_view b) {
  size_t n = a.size();
  if (n != b.size()) return false;
  auto eight = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  if (n < 8) {
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  for (size_t i = 0; i + 8 < n; i += 8)
    if (eight(a.data() + i) != eight(b.data() + i)) return false;
  return eight(a.data() + n - 8) == eight(b.data() + n - 8);
}

class Builder {
 public:
  // Sized from the file: generated and real dumps run to some hundred bytes
  // per port and several hundred per node.
  explicit Builder(const LineReader& in)
      : in_(in), byGuid_(static_cast<size_t>(std::min<uint64_t>(in.fileSize() / 512, 1 << 20))) {
    size_t ports = static_cast<size_t>(std::min<uint64_t>(in.fileSize() / 64, 1 << 22));
    ports_.reserve(ports);
    portAside_.reserve(ports);
    byPort_ = GuidIndex(ports, GuidIndex::kNodePorts);
    nodes_.reserve(ports / 4);
    nodeAside_.reserve(ports / 4);
  }

  // The node with this GUID, created at its first appearance. Lines of one
  // node come together, so the last answer is kept.
  uint32_t node(uint64_t guid) {
    if (lastNode_ != kNone && guid == lastGuid_) return lastNode_;
    bool added;
    uint32_t n = byGuid_.findOrAdd(
        guid, static_cast<uint32_t>(nodes_.size()), [this](uint32_t i) { return nodes_[i].guid; },
        &added);
    if (added) {
      nodes_.emplace_back().guid = guid;
      nodeAside_.emplace_back();
    }
    lastGuid_ = guid;
    lastNode_ = n;
    return n;
  }
  NodeRec& at(uint32_t n) { return nodes_[n]; }
  std::string_view description(const NodeRec& n) const {
    return std::string_view(descriptions_).substr(n.descriptionAt, n.descriptionSize);
  }
  NodeAside& asideOf(uint32_t n) { return nodeAside_[n]; }
  static uint64_t portKey(uint32_t node, size_t pn) { return uint64_t{node} << 8 | pn; }
  auto portKeyOf() const {
    return [this](uint32_t p) { return portKey(ports_[p].node, ports_[p].pn); };
  }
  // The port record of port pn of n, or kNone.
  uint32_t portOf(const NodeRec& n, size_t pn) const {
    if (pn >= n.topShown) return kNone;
    return byPort_.find(portKey(static_cast<uint32_t>(&n - nodes_.data()), pn), portKeyOf());
  }
  uint32_t portNode(uint32_t p) const { return ports_[p].node; }
  uint8_t portNumber(uint32_t p) const { return ports_[p].pn; }
  size_t portLine(uint32_t p) const { return portAside_[p].first; }

  // Checks what an end says of its node and port against what earlier lines
  // said, and records what is new; returns the port, or kNone with *problem.
  // Runs twice per port line: the messages are built out of line.
  uint32_t note(const End& e, std::string* problem) {
    uint32_t n = e.node != kNone ? e.node : node(e.nodeGuid);
    NodeRec& rec = nodes_[n];
    size_t line = in_.lineNumber();
    if (!(rec.seen & kTypeSeen)) {
      rec.type = static_cast<uint8_t>(e.type);
      rec.seen |= kTypeSeen;
      nodeAside_[n].type = line;
    } else if (rec.type != e.type) {
      return clash(problem,
                   nodeText(rec) + " is a " + std::string(typeWord(e.type)) + " here but a " +
                       std::string(typeWord(rec.type)),
                   nodeAside_[n].type);
    }
    if (e.descriptionShown) {
      if (!(rec.seen & kDescriptionSeen)) {
        if (const char* why = descriptionProblem(e.description)) return fail(problem, why);
        rec.descriptionAt = descriptions_.size();
        rec.descriptionSize = static_cast<uint32_t>(e.description.size());
        descriptions_.append(e.description);
        rec.seen |= kDescriptionSeen;
        nodeAside_[n].description = line;
      } else if (!sameText(description(rec), e.description)) {
        // The stored one passed the rule; this one may not.
        if (const char* why = descriptionProblem(e.description)) return fail(problem, why);
        return clash(problem,
                     "node " + guidText(rec.guid) + " is described as '" + echoText(e.description) +
                         "' here but as '" + echoText(description(rec)) + "'",
                     nodeAside_[n].description);
      }
    }
    if (e.lidShown && e.type == IB_SW_NODE &&
        !agreeLid(&rec.lid, &rec.seen, &nodeAside_[n].lid, e.lid, line)) {
      return clash(problem,
                   "switch " + nodeText(rec) + " has LID " + std::to_string(e.lid) + " here but " +
                       std::to_string(rec.lid),
                   nodeAside_[n].lid);
    }
    if (e.pn > kMaxPorts || ((rec.seen & kHeaderSeen) && e.pn > rec.portCount))
      return portAbove(problem, rec, e.pn);
    bool added;
    uint32_t p = byPort_.findOrAdd(portKey(n, e.pn), static_cast<uint32_t>(ports_.size()),
                                   portKeyOf(), &added);
    if (added) {
      rec.topShown = std::max<uint16_t>(rec.topShown, static_cast<uint16_t>(e.pn + 1));
      PortRec& fresh = ports_.emplace_back();
      fresh.node = n;
      fresh.pn = static_cast<uint8_t>(e.pn);
      portAside_.emplace_back().first = line;
    }
    PortRec& port = ports_[p];
    if (e.portGuidShown) {
      if (!(port.seen & kGuidSeen)) {
        port.guid = e.portGuid;
        port.seen |= kGuidSeen;
        portAside_[p].guid = line;
      } else if (port.guid != e.portGuid) {
        return clash(problem,
                     portText(p) + " has PortGUID " + guidText(e.portGuid) + " here but " +
                         guidText(port.guid),
                     portAside_[p].guid);
      }
    }
    if (e.lidShown && e.type != IB_SW_NODE &&
        !agreeLid(&port.lid, &port.seen, &portAside_[p].lid, e.lid, line)) {
      return clash(problem,
                   portText(p) + " has LID " + std::to_string(e.lid) + " here but " +
                       std::to_string(port.lid),
                   portAside_[p].lid);
    }
    return p;
  }

  // Joins two ports, or checks that they are already joined.
  bool link(uint32_t a, uint32_t b, uint8_t width, uint32_t speed, std::string* problem) {
    // Port 0 is a switch's own port, never at the end of a cable.
    for (uint32_t p : {a, b}) {
      if (ports_[p].pn != 0) continue;
      *problem = portText(p) + " cannot be cabled: ports are numbered from 1";
      return false;
    }
    if (a == b) {
      *problem = portText(a) + " is linked to itself";
      return false;
    }
    PortRec& pa = ports_[a];
    PortRec& pb = ports_[b];
    if (pa.remote != b) {
      for (uint32_t p : {a, b}) {
        uint32_t other = p == a ? b : a;
        if (ports_[p].remote != kNone) {
          *problem = portText(p) + " is linked to " + portText(other) + " here but to " +
                     portText(ports_[p].remote) + " on line " + std::to_string(portAside_[p].link);
          return false;
        }
      }
      pa.remote = b;
      pb.remote = a;
      portAside_[a].link = portAside_[b].link = in_.lineNumber();
      nodes_[pa.node].seen |= kLinked;
      nodes_[pb.node].seen |= kLinked;
    }
    // What one end leaves out, the other may say.
    if (!pa.width) pa.width = pb.width = width;
    if (!pa.speed) pa.speed = pb.speed = speed;
    return true;
  }

  // Creates the fabric from the records: the nodes that have a link, named,
  // in order of first appearance. With portsFromHeader, every such node must
  // have had a record of its own that fixed its port count.
  bool build(IBFabric& fabric, bool portsFromHeader, std::string* err) {
    // The fabric lays ports out node by node, port number ascending. Each
    // cabled port record is copied here in that order, so that filling the
    // fabric's ports reads the records once, front to back; fabricIndex
    // says where each record landed.
    struct Staged {
      uint64_t guid;
      uint32_t remote;  // port record
      uint32_t speed;
      uint16_t lid;
      uint8_t width;
    };
    std::vector<Staged> staged;
    staged.reserve(ports_.size());
    std::vector<uint32_t> fabricIndex(ports_.size(), kNone);
    std::vector<NodeDecl> decls;
    decls.reserve(nodes_.size());
    // The port records node by node, port number ascending: byNode[start[i],
    // start[i + 1]) are node i's.
    std::vector<uint32_t> start(nodes_.size() + 1, 0);
    for (const PortRec& r : ports_) ++start[r.node + 1];
    for (size_t i = 0; i < nodes_.size(); ++i) start[i + 1] += start[i];
    std::vector<uint32_t> byNode(ports_.size());
    {
      std::vector<uint32_t> at(start.begin(), start.end() - 1);
      for (uint32_t p = 0; p < ports_.size(); ++p) byNode[at[ports_[p].node]++] = p;
    }
    for (size_t i = 0; i < nodes_.size(); ++i) {
      NodeRec& n = nodes_[i];
      if (!(n.seen & kLinked)) continue;
      bool hasHeader = n.seen & kHeaderSeen;
      if (portsFromHeader && !hasHeader) {
        *err = in_.fileName() + ":" + std::to_string(nodeAside_[i].type) + ": " + nodeText(n) +
               " is linked here but has no record of its own in the file";
        return false;
      }
      if (portsFromHeader) {
        // Ports shown before the node's own record.
        for (size_t pn = size_t{n.portCount} + 1; pn < n.topShown; ++pn) {
          uint32_t p = portOf(n, pn);
          if (p == kNone) continue;
          *err = in_.fileName() + ":" + std::to_string(portAside_[p].first) + ": port number " +
                 std::to_string(pn) + " is above the " + std::to_string(n.portCount) +
                 " ports of " + nodeText(n) + " (line " + std::to_string(nodeAside_[i].header) +
                 ")";
          return false;
        }
      }
      NodeDecl d;
      d.nodeType = n.type;
      d.description = description(n);
      d.nodeGuid = n.guid;
      d.systemGuid = nodeAside_[i].systemGuid;
      d.portCount = n.portCount;
      bool isSwitch = n.type == IB_SW_NODE;
      d.lid = isSwitch ? n.lid : 0;
      // A port exists only where a line shows it cabled.
      auto first = byNode.begin() + start[i], last = byNode.begin() + start[i + 1];
      std::sort(first, last,
                [this](uint32_t a, uint32_t b) { return ports_[a].pn < ports_[b].pn; });
      for (auto at = first; at != last; ++at) {
        uint32_t p = *at;
        const PortRec& r = ports_[p];
        if (r.pn == 0 || r.remote == kNone) continue;
        d.ports.set(r.pn);
        fabricIndex[p] = static_cast<uint32_t>(staged.size());
        staged.push_back({isSwitch ? n.guid : r.guid, r.remote, r.speed,
                          static_cast<uint16_t>(isSwitch ? 0 : r.lid), r.width});
      }
      decls.push_back(std::move(d));
    }
    if (decls.empty()) {
      *err = in_.fileName() + ": no link found (not a topology file?)";
      return false;
    }
    nameNodes(decls);
    std::string why;
    if (fabric.createNodes(std::move(decls), &why) != 0) {
      *err = in_.fileName() + ": " + why;
      return false;
    }
    std::span<IBPort> built = fabric.ports();
    for (size_t k = 0; k < staged.size(); ++k) {
      const Staged& s = staged[k];
      IBPort& port = built[k];
      port.guid = s.guid;
      port.baseLid = s.lid;
      port.width = s.width;
      port.speed = s.speed;
      uint32_t remote = fabricIndex[s.remote];
      if (remote > k) IBFabric::link(&port, &built[remote]);
    }
    return true;
  }

  std::string nodeText(const NodeRec& n) const {
    return "node " + guidText(n.guid) + " ('" + echoText(description(n)) + "')";
  }
  std::string portText(uint32_t p) const {
    return "port " + std::to_string(ports_[p].pn) + " of " + nodeText(nodes_[ports_[p].node]);
  }

 private:
  [[gnu::cold]] [[gnu::noinline]] static uint32_t fail(std::string* problem, const char* what) {
    *problem = what;
    return kNone;
  }
  // "WHAT on line N" in *problem; kNone.
  [[gnu::cold]] [[gnu::noinline]] static uint32_t clash(std::string* problem, std::string what,
                                                        size_t line) {
    *problem = std::move(what) + " on line " + std::to_string(line);
    return kNone;
  }
  [[gnu::cold]] [[gnu::noinline]] uint32_t portAbove(std::string* problem, const NodeRec& rec,
                                                     unsigned pn) const {
    if (pn > kMaxPorts)
      *problem = "port number " + std::to_string(pn) + " is above " + std::to_string(kMaxPorts);
    else
      *problem = "port number " + std::to_string(pn) + " is above the " +
                 std::to_string(rec.portCount) + " ports of " + nodeText(rec);
    return kNone;
  }

  static bool agreeLid(uint16_t* have, uint8_t* seen, size_t* haveLine, uint16_t shown,
                       size_t line) {
    if (!(*seen & kLidSeen)) {
      *have = shown;
      *seen |= kLidSeen;
      *haveLine = line;
      return true;
    }
    return *have == shown;
  }

  const LineReader& in_;
  std::vector<NodeRec> nodes_;
  std::vector<NodeAside> nodeAside_;
  std::vector<PortRec> ports_;
  std::vector<PortAside> portAside_;
  std::string descriptions_;
  GuidIndex byPort_;  // portKey -> port record
  GuidIndex byGuid_;
  uint64_t lastGuid_ = 0;
  uint32_t lastNode_ = kNone;
};

// Hand scanner over one line; on failure `problem` says what is wrong.
struct Scan {
  const char* p;
  const char* end;
  std::string problem;

  bool fail(std::string what) {
    problem = std::move(what);
    return false;
  }
  bool at(char c) const { return p < end && *p == c; }
  bool atEnd() const { return p == end; }
  bool eat(char c) {
    if (!at(c)) return false;
    ++p;
    return true;
  }
  // The words eaten are a few bytes long: compared in place, not by a
  // library call.
  bool eat(std::string_view s) {
    if (static_cast<size_t>(end - p) < s.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
      if (p[i] != s[i]) return false;
    p += s.size();
    return true;
  }
  // The checks below are called a few times per line: each has a short
  // path kept inline, and its message built out of line.
  [[gnu::always_inline]] bool expect(char c, const char* where) {
    if (p < end && *p == c) {
      ++p;
      return true;
    }
    return expected(c, where);
  }
  [[gnu::noinline]] bool expected(char c, const char* where) {
    return fail(std::string("expected '") + c + "' " + where);
  }
  [[gnu::always_inline]] void blanks() {
    // The ports report pads its columns with long runs of spaces.
    constexpr uint64_t kEightSpaces = 0x2020202020202020ull;
    uint64_t eight;
    while (end - p >= 8 && (std::memcpy(&eight, p, 8), eight == kEightSpaces)) p += 8;
    while (p < end && isBlank(*p)) ++p;
  }
  // At least one blank.
  [[gnu::always_inline]] bool gap(const char* where) {
    if (p < end && isBlank(*p)) {
      ++p;
      blanks();
      return true;
    }
    return noGap(where);
  }
  [[gnu::noinline]] bool noGap(const char* where) {
    return fail(std::string("expected a blank ") + where);
  }
  std::string_view word() {
    const char* s = p;
    while (p < end && !isBlank(*p)) ++p;
    return std::string_view(s, static_cast<size_t>(p - s));
  }
  [[gnu::always_inline]] bool number(const char* what, uint64_t max, uint64_t* v) {
    // Short numbers within range, the common case, without the general
    // scanner's overflow checks.
    const char* s = p;
    const char* stop = end - p > 18 ? p + 18 : end;
    uint64_t x = 0;
    while (s < stop && static_cast<unsigned>(*s - '0') < 10)
      x = x * 10 + static_cast<unsigned>(*s++ - '0');
    if (s > p && x <= max && (s == end || static_cast<unsigned>(*s - '0') >= 10)) {
      p = s;
      *v = x;
      return true;
    }
    return numberSlow(what, max, v);
  }
  [[gnu::noinline]] bool numberSlow(const char* what, uint64_t max, uint64_t* v) {
    const char* s = p;
    NumScan r = scanDec(&p, end, max, v);
    if (r == NumScan::kNoDigits) return fail(std::string(what) + ": decimal number expected");
    if (r == NumScan::kTooLarge)
      return fail(std::string(what) + " " + std::string(s, static_cast<size_t>(p - s)) +
                  " is above " + std::to_string(max));
    return true;
  }
  [[gnu::always_inline]] bool port(uint64_t* v) { return number("port number", 255, v); }
  [[gnu::always_inline]] bool lid(uint16_t* lid) {
    uint64_t v;
    if (!number("LID", 0xFFFF, &v)) return false;
    *lid = static_cast<uint16_t>(v);
    return true;
  }
  // Hexadecimal, with or without "0x".
  [[gnu::always_inline]] bool guid(const char* what, uint64_t* v) {
    if (end - p >= 2 && p[0] == '0' && p[1] == 'x') p += 2;
    // Sixteen digits, as the diagnostics print GUIDs, go eight at a time.
    if (end - p >= 16 && (end - p == 16 || kHexValue[static_cast<unsigned char>(p[16])] < 0) &&
        hex16(p, v)) {
      p += 16;
      return true;
    }
    // Up to 16 digits need no overflow check.
    const char* s = p;
    const char* stop = end - p > 16 ? p + 16 : end;
    uint64_t x = 0;
    for (; s < stop; ++s) {
      int d = kHexValue[static_cast<unsigned char>(*s)];
      if (d < 0) break;
      x = x << 4 | static_cast<unsigned>(d);
    }
    if (s > p && (s == end || kHexValue[static_cast<unsigned char>(*s)] < 0)) {
      p = s;
      *v = x;
      return true;
    }
    return guidSlow(what, v);
  }
  [[gnu::noinline]] bool guidSlow(const char* what, uint64_t* v) {
    NumScan r = scanHex(&p, end, ~uint64_t{0}, v);
    if (r == NumScan::kNoDigits) return fail(std::string(what) + ": hexadecimal GUID expected");
    if (r == NumScan::kTooLarge) return fail(std::string(what) + ": GUID too large for 64 bits");
    return true;
  }
  // "4xHDR" (plain form) or "4x" then "HDR" (ports report): unknown values
  // read as 0.
  static void rate(std::string_view text, uint8_t* width, uint32_t* speed) {
    const char* s = text.data();
    const char* e = s + text.size();
    uint64_t lanes = 0;
    if (e - s >= 2 && static_cast<unsigned>(*s - '0') < 10 && s[1] == 'x') {
      // One digit and "x", as every dump writes it.
      *width = linkWidth(static_cast<unsigned>(*s - '0'));
      s += 2;
    } else if (scanDec(&s, e, 99, &lanes) == NumScan::kOk && s < e && *s == 'x') {
      *width = linkWidth(lanes);
      ++s;
    }
    if (s < e) *speed = linkSpeedFromName(std::string_view(s, static_cast<size_t>(e - s)));
  }
};

int typeOfLetter(char c) {
  switch (c) {
    case 'S':
      return IB_SW_NODE;
    case 'H':
      return IB_CA_NODE;
    case 'R':
      return IB_RTR_NODE;
    default:
      return -1;
  }
}

// '"S-<guid>"': the node id of the plain form.
[[gnu::always_inline]] inline bool nodeId(Scan& s, End* e) {
  if (!s.eat('"'))
    return s.fail("expected a node id in quotes (\"S-...\", \"H-...\" or \"R-...\")");
  int type = s.p < s.end ? typeOfLetter(*s.p) : -1;
  if (type < 0 || s.p + 1 >= s.end || s.p[1] != '-')
    return s.fail("node id must start with S-, H- or R-");
  s.p += 2;
  if (!s.guid("node id", &e->nodeGuid)) return false;
  e->type = type;
  return s.expect('"', "after the node id");
}

// The rest of the line from an opening '"': the text up to the last '"'.
bool quotedToLast(Scan& s, std::string_view* text) {
  if (!s.eat('"')) return s.fail("expected a description in double quotes");
  // memrchr: the closing quote is near the end of a long line.
  const void* close = memrchr(s.p, '"', static_cast<size_t>(s.end - s.p));
  if (!close) return s.fail("description not closed by '\"'");
  const char* q = static_cast<const char*>(close);
  *text = std::string_view(s.p, static_cast<size_t>(q - s.p));
  s.p = q + 1;
  return true;
}

// Plain form -----------------------------------------------------------------

class PlainReader {
 public:
  PlainReader(LineReader& in, Builder& b) : in_(in), b_(b) {}

  bool line(std::string_view line, std::string* problem) {
    Scan s{line.data(), line.data() + line.size(), {}};
    bool ok;
    if (s.at('[')) {
      if (current_ == kNone) return fail(problem, "port line before any node record");
      ok = portLine(s);
    } else if (s.eat("Switch") || s.eat("Ca") || s.eat("Rt")) {
      ok = header(line, s);
    } else if (keyValue(line)) {
      return true;
    } else {
      return fail(problem,
                  "expected a key=value line, a Switch, Ca or Rt record or a port line '[N]'");
    }
    if (!ok) *problem = std::move(s.problem);
    return ok;
  }

 private:
  static bool fail(std::string* problem, std::string what) {
    *problem = std::move(what);
    return false;
  }

  // "key=value"; sysimgguid gives the next record's SystemGUID.
  bool keyValue(std::string_view line) {
    size_t eq = keyLength(line);
    if (eq == 0) return false;
    constexpr std::string_view kSystemGuid = "sysimgguid";
    if (eq == kSystemGuid.size() && sameText(line.substr(0, eq), kSystemGuid)) {
      Scan v{line.data() + eq + 1, line.data() + line.size(), {}};
      uint64_t guid;
      if (v.guid("sysimgguid", &guid) && v.atEnd()) systemGuid_ = guid;
    }
    return true;
  }

  // "Switch 36 "S-guid" # "description" enhanced port 0 lid 5 lmc 0", or a
  // "Ca"/"Rt" header without the part after the description.
  bool header(std::string_view line, Scan& s) {
    int type = line[0] == 'S' ? IB_SW_NODE : line[0] == 'C' ? IB_CA_NODE : IB_RTR_NODE;
    uint64_t count;
    End e;
    if (!s.gap("after the record type") || !s.number("port count", 255, &count) ||
        !s.gap("after the port count") || !nodeId(s, &e))
      return false;
    if (count > kMaxPorts)
      return s.fail("port count " + std::to_string(count) + " is above " +
                    std::to_string(kMaxPorts));
    if (e.type != type) return s.fail("node id does not match the record type");
    s.blanks();
    if (!s.expect('#', "before the description")) return false;
    s.blanks();
    if (!quotedToLast(s, &e.description)) return false;
    e.descriptionShown = true;
    if (type == IB_SW_NODE) {
      s.blanks();
      std::string_view kind = s.word();
      uint64_t zero, lmc;
      if ((kind != "enhanced" && kind != "base") || !s.gap("") || s.word() != "port" ||
          !s.gap("") || !s.number("port", 0, &zero) || !s.gap("") || s.word() != "lid" ||
          !s.gap("") || !s.lid(&e.lid) || !s.gap("") || s.word() != "lmc" || !s.gap("") ||
          !s.number("LMC", 7, &lmc) || !s.atEnd())
        return s.fail(
            "expected 'base port 0' or 'enhanced port 0', then 'lid N lmc M' after the switch's "
            "description");
      e.lidShown = true;
    } else if (!s.atEnd()) {
      return s.fail("unexpected text after the description");
    }
    uint32_t n = e.node = b_.node(e.nodeGuid);
    NodeRec& rec = b_.at(n);
    if (rec.seen & kHeaderSeen)
      return s.fail(b_.nodeText(rec) + " has a second record (the first on line " +
                    std::to_string(b_.asideOf(n).header) + ")");
    // The header is the node's own word on these; lines that named it before
    // must agree with it.
    std::string problem;
    if (b_.note(e, &problem) == kNone) return s.fail(problem);
    for (size_t pn = count + 1; pn < rec.topShown; ++pn)
      if (uint32_t p = b_.portOf(rec, pn); p != kNone)
        return s.fail(b_.nodeText(rec) + " has " + std::to_string(count) +
                      " ports here but its port " + std::to_string(pn) + " is shown on line " +
                      std::to_string(b_.portLine(p)));
    rec.seen |= kHeaderSeen;
    b_.asideOf(n).header = in_.lineNumber();
    rec.portCount = static_cast<uint8_t>(count);
    b_.asideOf(n).systemGuid = systemGuid_;
    systemGuid_ = 0;
    current_ = n;
    return true;
  }

  // A port of the current record and what it is cabled to.
  bool portLine(Scan& s) {
    NodeRec& self = b_.at(current_);
    End mine, remote;
    mine.type = self.type;
    mine.nodeGuid = self.guid;
    mine.node = current_;
    uint64_t pn, rpn;
    s.eat('[');
    if (!s.port(&pn) || !s.expect(']', "after the port number")) return false;
    mine.pn = static_cast<unsigned>(pn);
    bool host = self.type != IB_SW_NODE;
    if (host) {
      if (!s.expect('(', "before the port's GUID") || !s.guid("PortGUID", &mine.portGuid) ||
          !s.expect(')', "after the port's GUID"))
        return false;
      mine.portGuidShown = true;
    } else if (s.eat("[ext ")) {
      uint64_t ext;
      if (!s.number("external port", 255, &ext) || !s.expect(']', "after the external port"))
        return false;
    }
    s.blanks();
    if (!nodeId(s, &remote) || !s.expect('[', "before the remote port") || !s.port(&rpn) ||
        !s.expect(']', "after the remote port"))
      return false;
    remote.pn = static_cast<unsigned>(rpn);
    if (s.eat('(')) {
      if (!s.guid("remote PortGUID", &remote.portGuid) ||
          !s.expect(')', "after the remote PortGUID"))
        return false;
      remote.portGuidShown = true;
    }
    s.blanks();
    if (!s.expect('#', "before the remote's description")) return false;
    s.blanks();
    if (host) {
      uint64_t lmc;
      if (!s.eat("lid") || !s.gap("after 'lid'") || !s.lid(&mine.lid) || !s.gap("") ||
          !s.eat("lmc") || !s.gap("after 'lmc'") || !s.number("LMC", 7, &lmc))
        return s.fail("expected 'lid N lmc M' of the port before the remote's description");
      mine.lidShown = true;
      s.blanks();
    }
    if (!quotedToLast(s, &remote.description)) return false;
    remote.descriptionShown = true;
    s.blanks();
    if (!s.eat("lid") || !s.gap("after 'lid'") || !s.lid(&remote.lid))
      return s.fail("expected 'lid N' after the remote's description");
    remote.lidShown = true;
    uint8_t width = 0;
    uint32_t speed = 0;
    if (!s.atEnd()) {
      if (!s.gap("before the link's width and speed")) return false;
      Scan::rate(s.word(), &width, &speed);
      if (!s.atEnd()) return s.fail("unexpected text after the link's width and speed");
    }
    std::string problem;
    uint32_t a = b_.note(mine, &problem);
    uint32_t b = a == kNone ? kNone : b_.note(remote, &problem);
    if (b == kNone || !b_.link(a, b, width, speed, &problem)) return s.fail(problem);
    return true;
  }

  LineReader& in_;
  Builder& b_;
  uint32_t current_ = kNone;
  uint64_t systemGuid_ = 0;
};

// Ports report ---------------------------------------------------------------

// "CA 59 1 0x... 4x HDR": type, LID, port, GUID, and for the near end width
// and speed (width null for the remote end).
bool reportEnd(Scan& s, End* e, uint8_t* width, uint32_t* speed) {
  std::string_view type = s.word();
  if (type == "SW") {
    e->type = IB_SW_NODE;
  } else if (type == "CA") {
    e->type = IB_CA_NODE;
  } else if (type == "RT") {
    e->type = IB_RTR_NODE;
  } else {
    return s.fail("unknown node type '" + std::string(type) + "' (expected CA, SW or RT)");
  }
  uint64_t pn;
  if (!s.gap("after the node type") || !s.lid(&e->lid) || !s.gap("after the LID") || !s.port(&pn) ||
      !s.gap("after the port number") || !s.guid("GUID", &e->nodeGuid))
    return false;
  if (!s.atEnd() && !isBlank(*s.p)) return s.fail("GUID: hexadecimal number expected");
  e->pn = static_cast<unsigned>(pn);
  e->lidShown = true;
  // A host's GUID is its port's; the port is then the node of its own.
  e->portGuid = e->nodeGuid;
  e->portGuidShown = e->type != IB_SW_NODE;
  // The remote end of a line stops here: the descriptions follow.
  if (!width) return true;
  if (!s.gap("after the GUID")) return false;
  std::string_view w = s.word();
  if (!s.gap("after the link width")) return false;
  std::string_view sp = s.word();
  if (w.empty() || sp.empty()) return s.fail("expected the link's width and speed");
  *width = 0;
  *speed = 0;
  Scan::rate(w, width, speed);
  *speed = linkSpeedFromName(sp);
  return true;
}

bool reportLine(std::string_view line, Builder& b, std::string* problem) {
  Scan s{line.data(), line.data() + line.size(), {}};
  End near, far;
  uint8_t width;
  uint32_t speed;
  auto fail = [&] {
    *problem = std::move(s.problem);
    return false;
  };
  if (!reportEnd(s, &near, &width, &speed)) return fail();
  s.blanks();
  if (s.at('\'')) {
    // A port with nothing attached: it only shows the node's port count.
    if (s.end - s.p < 2 || s.end[-1] != '\'')
      return s.fail("description not closed by \"'\"") || fail();
    near.description = std::string_view(s.p + 1, static_cast<size_t>(s.end - s.p - 2));
    near.descriptionShown = true;
    uint32_t p = b.note(near, problem);
    if (p == kNone) return false;
    NodeRec& n = b.at(b.portNode(p));
    n.portCount = static_cast<uint8_t>(std::max<unsigned>(n.portCount, near.pn));
    return true;
  }
  if (!s.eat('-') || !s.gap("after '-'"))
    return s.fail("expected '-' and the remote end, or the description in quotes") || fail();
  if (!reportEnd(s, &far, nullptr, nullptr)) return fail();
  s.blanks();
  constexpr std::string_view kOpen = "( '", kSplit = "' - '", kClose = "' )";
  std::string_view rest(s.p, static_cast<size_t>(s.end - s.p));
  size_t split = rest.find(kSplit);
  if (!rest.starts_with(kOpen) || !rest.ends_with(kClose) || split == std::string_view::npos ||
      split < kOpen.size() || split + kSplit.size() > rest.size() - kClose.size())
    return s.fail("expected \"( 'description' - 'remote description' )\"") || fail();
  near.description = rest.substr(kOpen.size(), split - kOpen.size());
  far.description =
      rest.substr(split + kSplit.size(), rest.size() - kClose.size() - split - kSplit.size());
  near.descriptionShown = far.descriptionShown = true;
  uint32_t a = b.note(near, problem);
  if (a == kNone) return false;
  uint32_t c = b.note(far, problem);
  if (c == kNone) return false;
  for (uint32_t p : {a, c}) {
    NodeRec& n = b.at(b.portNode(p));
    n.portCount = std::max(n.portCount, b.portNumber(p));
  }
  return b.link(a, c, width, speed, problem);
}

bool isDrPath(std::string_view line) {
  return line.starts_with("DR path ");
}

}  // namespace

TopologyForm topologyFormOf(std::string_view line) {
  if (line.starts_with("{")) return TopologyForm::kLst;
  for (std::string_view w : {"Switch", "Ca", "Rt"})
    if (line.starts_with(w) && line.size() > w.size() && isBlank(line[w.size()]))
      return TopologyForm::kPlain;
  for (std::string_view w : {"CA", "SW", "RT"}) {
    if (!line.starts_with(w)) continue;
    size_t i = w.size();
    if (i == line.size() || !isBlank(line[i])) continue;
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i < line.size() && line[i] >= '0' && line[i] <= '9') return TopologyForm::kPorts;
  }
  if (keyLength(line) > 0) return TopologyForm::kPlain;
  return TopologyForm::kLst;
}

bool readIbnetdiscover(LineReader& in, std::string_view first, TopologyForm form, IBFabric& fabric,
                       std::string* err) {
  Builder builder(in);
  PlainReader plain(in, builder);
  std::string problem;
  std::string_view line = first;
  do {
    if (isBlankOrComment(line) || isDrPath(line)) continue;
    bool ok = form == TopologyForm::kPlain ? plain.line(line, &problem)
                                           : reportLine(line, builder, &problem);
    if (!ok) {
      *err = in.lineError(problem);
      return false;
    }
  } while (in.next(&line));
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  return builder.build(fabric, form == TopologyForm::kPlain, err);
}
