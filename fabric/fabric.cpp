#include "fabric/fabric.h"

#include <algorithm>
#include <cstdio>

#include "fabric/text/scan.h"

std::string_view nodeTypeName(int nodeType) {
  switch (nodeType) {
    case IB_SW_NODE:
      return "SW";
    case IB_CA_NODE:
      return "CA";
    case IB_RTR_NODE:
      return "Rt";
    default:
      return "**";
  }
}

namespace {

struct LinkSpeed {
  std::string_view name;
  uint32_t mbps;
};
// FDR10 runs at QDR's lane rate: 10000 is written back as QDR.
constexpr LinkSpeed kLinkSpeeds[] = {
    {"SDR", 2500},  {"DDR", 5000},  {"QDR", 10000},  {"FDR10", 10000}, {"FDR", 14000},
    {"EDR", 25000}, {"HDR", 50000}, {"NDR", 100000}, {"XDR", 200000},
};

}  // namespace

uint8_t linkWidth(uint64_t lanes) {
  return lanes == 1 || lanes == 2 || lanes == 4 || lanes == 8 || lanes == 12
             ? static_cast<uint8_t>(lanes)
             : 0;
}

uint32_t linkSpeedFromName(std::string_view name) {
  // Called for every line of the discovery diagnostic's dumps: the names
  // are compared in place, not by a library call per entry, and the
  // three-letter ones (all "?DR") by their first letter.
  if (name.size() == 3 && name[1] == 'D' && name[2] == 'R') {
    for (const LinkSpeed& s : kLinkSpeeds)
      if (s.name.size() == 3 && s.name[0] == name[0]) return s.mbps;
    return 0;
  }
  for (const LinkSpeed& s : kLinkSpeeds) {
    if (s.name.size() != name.size()) continue;
    size_t i = 0;
    while (i < name.size() && s.name[i] == name[i]) ++i;
    if (i == name.size()) return s.mbps;
  }
  return 0;
}

std::string_view linkSpeedName(uint32_t speed) {
  for (const LinkSpeed& s : kLinkSpeeds)
    if (s.mbps == speed) return s.name;
  return {};
}

uint32_t linkSpeedFromGbps(std::string_view text) {
  // Whole Gb/s, or with a fraction of up to three digits ("2.5").
  uint32_t mbps = 0;
  size_t i = 0;
  for (; i < text.size() && i < 4 && text[i] >= '0' && text[i] <= '9'; ++i)
    mbps = mbps * 10 + static_cast<uint32_t>(text[i] - '0');
  if (i == 0) return 0;
  mbps *= 1000;
  if (i < text.size() && text[i] == '.') {
    uint32_t scale = 100;
    size_t start = ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && scale > 0; ++i, scale /= 10)
      mbps += static_cast<uint32_t>(text[i] - '0') * scale;
    if (i == start) return 0;
  }
  if (i != text.size()) return 0;
  return linkSpeedName(mbps).empty() ? 0 : mbps;
}

std::string linkSpeedGbps(uint32_t speed) {
  if (linkSpeedName(speed).empty()) return {};
  std::string text = std::to_string(speed / 1000);
  if (uint32_t frac = speed % 1000) {
    text += '.';
    text += std::to_string(frac / 100);  // the known rates have one decimal at most
  }
  return text;
}

std::string IBPort::getName() const {
  std::string name = owner ? owner->nodeName : std::string();
  name += "/P";
  name += std::to_string(portNumber);
  return name;
}

std::string guidText(uint64_t guid) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
  return text;
}

void IBNode::setLFTPortForLid(uint16_t lid, uint8_t port, uint8_t table) {
  if (table >= lfts.size()) lfts.resize(table + 1);
  std::vector<uint8_t>& t = lfts[table];
  if (lid >= t.size()) t.resize(size_t{lid} + 1, kLftNoEntry);
  t[lid] = port;
}

void PortTable::assign(const std::vector<IBPort*>& ports, unsigned portCount) {
  portCount_ = static_cast<uint8_t>(portCount);
  // A table by number while it costs at most about twice the ports.
  dense_ = portCount + 1 <= 2 * ports.size() + 8;
  if (!dense_) {
    entries_ = ports;
    return;
  }
  entries_.assign(size_t{portCount} + 1, nullptr);
  for (IBPort* p : ports) entries_[p->portNumber] = p;
}

IBPort* PortTable::find(size_t n) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), n,
                             [](const IBPort* p, size_t k) { return p->portNumber < k; });
  return it != entries_.end() && (*it)->portNumber == n ? *it : nullptr;
}

void PortTable::erase(size_t n) {
  if (dense_) {
    if (n < entries_.size()) entries_[n] = nullptr;
    return;
  }
  std::erase_if(entries_, [n](const IBPort* p) { return p->portNumber == n; });
}

void PortTable::truncate(size_t size) {
  if (size == 0 || size > this->size()) return;
  portCount_ = static_cast<uint8_t>(size - 1);
  if (dense_) {
    entries_.resize(size);
    return;
  }
  std::erase_if(entries_, [size](const IBPort* p) { return p->portNumber >= size; });
}

IBFabric::IBFabric() {
  SetTimestamp();
}

int IBFabric::createNodes(std::vector<NodeDecl> decls, std::string* err) {
  auto fail = [&](std::string msg) {
    if (err) *err = std::move(msg);
    return 1;
  };
  if (!nodes_.empty()) return fail("the fabric already has nodes");
  size_t portTotal = 0;
  for (NodeDecl& d : decls) {
    if (d.ports.none()) {
      for (unsigned n = 1; n <= d.portCount; ++n) d.ports.set(n);
    } else if (d.ports.test(0) || (d.ports >> (d.portCount + 1u)).any()) {
      return fail("node " + echoText(d.nodeName) + ": a port outside 1.." +
                  std::to_string(d.portCount));
    }
    portTotal += d.ports.count();
  }

  // Sized once: the addresses taken below stay valid for the fabric's life.
  nodes_.resize(decls.size());
  ports_.resize(portTotal);
  size_t nextPort = 0;
  std::vector<IBPort*> own;
  for (size_t i = 0; i < decls.size(); ++i) {
    NodeDecl& d = decls[i];
    IBNode& node = nodes_[i];
    node.nodeType = d.nodeType;
    node.nodeName = std::move(d.nodeName);
    node.description = std::move(d.description);
    node.nodeGuid = d.nodeGuid;
    node.systemGuid = d.systemGuid;
    node.portCount = d.portCount;
    node.lid = d.lid;
    own.clear();
    for (unsigned n = 1; n <= d.portCount; ++n) {
      if (!d.ports.test(n)) continue;
      IBPort& port = ports_[nextPort++];
      port.owner = &node;
      port.portNumber = static_cast<uint8_t>(n);
      own.push_back(&port);
    }
    node.portTable.assign(own, d.portCount);
  }
  // The name map is filled in name order, each node added at its end (one
  // comparison, where an insertion in creation order searches the tree).
  // Names are sorted by their first eight bytes, which nearly always decide,
  // then whole, then by creation order, so the first node in creation order
  // that repeats a name is found as before.
  struct Named {
    uint64_t prefix;
    const std::string* name;
    IBNode* node;
  };
  std::vector<Named> byName(nodes_.size());
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const std::string& name = nodes_[i].nodeName;
    uint64_t prefix = 0;
    for (size_t k = 0; k < 8; ++k)
      prefix = prefix << 8 | (k < name.size() ? static_cast<unsigned char>(name[k]) : 0u);
    byName[i] = {prefix, &name, &nodes_[i]};
  }
  std::sort(byName.begin(), byName.end(), [](const Named& a, const Named& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (int c = a.name->compare(*b.name); c != 0) return c < 0;
    return a.node < b.node;
  });
  const IBNode* repeat = nullptr;
  for (size_t i = 1; i < byName.size(); ++i) {
    if (*byName[i].name != *byName[i - 1].name) continue;
    if (!repeat || byName[i].node < repeat) repeat = byName[i].node;
    while (i + 1 < byName.size() && *byName[i + 1].name == *byName[i].name) ++i;
  }
  if (repeat) {
    std::string name = repeat->nodeName;
    nodes_.clear();
    ports_.clear();
    return fail("two nodes named " + echoText(name));
  }
  for (const Named& n : byName) nodeMap.emplace_hint(nodeMap.end(), *n.name, n.node);
  return 0;
}

IBNode* IBFabric::getNode(std::string_view name) const {
  auto it = nodeMap.find(name);
  return it == nodeMap.end() ? nullptr : it->second;
}

IBPort* IBFabric::getPort(std::string_view nodeName, unsigned n) const {
  IBNode* node = getNode(nodeName);
  return node ? node->getPort(n) : nullptr;
}

void IBFabric::link(IBPort* a, IBPort* b) {
  a->remote = b;
  b->remote = a;
}

const char* get_corvex_version() {
  return LINKDEAL_VERSION;
}
