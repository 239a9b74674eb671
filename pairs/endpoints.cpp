#include "pairs/endpoints.h"

#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

EndpointIndex::EndpointIndex(const IBFabric& fabric) : fabric_(fabric) {
  for (const IBPort& port : fabric.ports())
    if (!port.owner->isSwitch() && port.guid != 0) byGuid_.emplace(port.guid, &port);
}

// The port a port name "NODE/P<n>" names, when NODE is a node of the fabric:
// *owner set, the result null when the node has no port n.
static const IBPort* portByName(const IBFabric& fabric, std::string_view text,
                                const IBNode** owner) {
  *owner = nullptr;
  const size_t slash = text.rfind("/P");
  if (slash == std::string_view::npos) return nullptr;
  const char* p = text.data() + slash + 2;
  const char* end = text.data() + text.size();
  uint64_t n;
  if (scanDec(&p, end, 255, &n) != NumScan::kOk || p != end) return nullptr;
  *owner = fabric.getNode(text.substr(0, slash));
  return *owner ? (*owner)->getPort(n) : nullptr;
}

const IBPort* EndpointIndex::find(std::string_view text, std::string* problem) const {
  // The port reading comes first: node names may end in "/P<n>" too, and the
  // names linkdeal writes must mean the ports it wrote them for.
  const IBNode* owner;
  const IBPort* port = portByName(fabric_, text, &owner);
  if (!owner) {
    if (const IBNode* node = fabric_.getNode(text)) {
      port = node->getPort(1);
    } else if (text.size() > 2 && text.substr(0, 2) == "0x") {
      const char* p = text.data() + 2;
      const char* end = text.data() + text.size();
      uint64_t guid;
      if (scanHex(&p, end, ~uint64_t{0}, &guid) == NumScan::kOk && p == end) {
        auto it = byGuid_.find(guid);
        if (it != byGuid_.end()) port = it->second;
      }
    }
  }
  if (!port || port->owner->isSwitch()) {
    *problem = quoted(text) +
               (port ? " is a switch port, not a host port" : " names no host port of the fabric");
    // A node of this very name is shadowed by the port reading: say how to name it.
    if (owner && fabric_.getNode(text)) {
      const size_t slash = text.rfind("/P");
      *problem += " (read as port " + std::string(text.substr(slash + 2)) + " of node " +
                  quoted(text.substr(0, slash)) + "; the node named " + quoted(text) + " is " +
                  quoted(std::string(text) + "/P1") + ")";
    }
    return nullptr;
  }
  return port;
}

std::string quoted(std::string_view text) {
  constexpr size_t kMax = 80;
  std::string out = "'";
  out += text.substr(0, kMax);
  if (text.size() > kMax) out += "...";
  out += "'";
  return out;
}
