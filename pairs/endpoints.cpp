#include "pairs/endpoints.h"

#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

EndpointIndex::EndpointIndex(const IBFabric& fabric) : fabric_(fabric) {
  for (const IBPort& port : fabric.ports())
    if (!port.owner->isSwitch() && port.guid != 0) byGuid_.emplace(port.guid, &port);
}

const IBPort* EndpointIndex::find(std::string_view text, std::string* problem) const {
  const IBPort* port = nullptr;
  if (const IBNode* node = fabric_.getNode(text)) {
    port = node->getPort(1);
  } else if (size_t slash = text.rfind("/P"); slash != std::string_view::npos) {
    const IBNode* owner = fabric_.getNode(text.substr(0, slash));
    const char* p = text.data() + slash + 2;
    const char* end = text.data() + text.size();
    uint64_t n;
    if (owner && scanDec(&p, end, 255, &n) == NumScan::kOk && p == end) port = owner->getPort(n);
  }
  if (!port && text.size() > 2 && text.substr(0, 2) == "0x") {
    const char* p = text.data() + 2;
    const char* end = text.data() + text.size();
    uint64_t guid;
    if (scanHex(&p, end, ~uint64_t{0}, &guid) == NumScan::kOk && p == end) {
      auto it = byGuid_.find(guid);
      if (it != byGuid_.end()) port = it->second;
    }
  }
  if (!port) {
    *problem = quoted(text) + " names no host port of the fabric";
    return nullptr;
  }
  if (port->owner->isSwitch()) {
    *problem = quoted(text) + " is a switch port, not a host port";
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
