#include "fabric/routing/route_walk.h"

RouteWalker::RouteWalker(const IBFabric& fabric)
    : firstNode_(fabric.nodes().data()), tablesOnPath_(fabric.nodes().size()) {}

RouteWalk routeEndAt(const IBNode& sw, uint8_t table, uint16_t lid) {
  RouteWalk w;
  w.node = &sw;
  w.table = table;
  const uint8_t port = sw.getLFTPortForLid(lid, table);
  if (port == kLftNoEntry) {
    w.end = RouteEnd::kNoEntry;
    return w;
  }
  w.port = port;
  if (const IBPort* out = linkedPort(sw, port)) {
    const bool host = !out->remote->owner->isSwitch();
    w.end = host ? RouteEnd::kArrived : RouteEnd::kLoop;
    (host ? w.arrived : w.into) = out->remote;
  } else if (port == 0) {
    w.end = RouteEnd::kToSwitch;
  } else {
    w.end = port > sw.portCount ? RouteEnd::kBadPort : RouteEnd::kNoLink;
  }
  return w;
}

// Reads the tables as they are at each walk, so a caller may change them
// between walks.
RouteWalk RouteWalker::walk(const IBPort& src, uint16_t dlid, std::vector<const IBPort*>* egress) {
  if (egress) egress->clear();
  RouteWalk w;
  const IBPort* in = src.remote;
  if (!in) return w;  // kUnlinked
  if (!in->owner->isSwitch()) {
    w.end = RouteEnd::kArrived;
    w.arrived = in;
    return w;
  }
  // A state seen before on this walk repeats forever. It is reported at the
  // step that closed the loop, whose egress port is the path's last.
  for (;;) {
    const IBNode& sw = *in->owner;
    const uint8_t table = sw.tableForIngress(in->portNumber);
    std::array<uint64_t, 4>& used = tablesOnPath_[static_cast<size_t>(&sw - firstNode_)];
    if (used == std::array<uint64_t, 4>{})
      touched_.push_back(static_cast<uint32_t>(&sw - firstNode_));
    used[table >> 6] |= uint64_t{1} << (table & 63);

    const IBPort* out = linkedPort(sw, sw.getLFTPortForLid(dlid, table));
    if (out && egress) egress->push_back(out);
    const IBPort* next = out ? out->remote : nullptr;
    if (!next || !next->owner->isSwitch()) {
      w = routeEndAt(sw, table, dlid);
      break;
    }
    const uint8_t nextTable = next->owner->tableForIngress(next->portNumber);
    const auto& nextUsed = tablesOnPath_[static_cast<size_t>(next->owner - firstNode_)];
    if ((nextUsed[nextTable >> 6] >> (nextTable & 63)) & 1) {
      w = routeEndAt(sw, table, dlid);
      break;
    }
    in = next;
  }

  for (uint32_t n : touched_) tablesOnPath_[n] = {};
  touched_.clear();
  return w;
}

namespace {

std::string where(const RouteWalk& w, bool withPort) {
  std::string text = w.node->nodeName;
  if (withPort) text += "/P" + std::to_string(w.port);
  text += " table " + std::to_string(w.table);
  return text;
}

}  // namespace

std::string describeRouteWalk(const RouteWalk& w, const IBPort& src, const IBPort& dst) {
  switch (w.end) {
    case RouteEnd::kArrived:
      if (w.arrived == &dst) return {};
      if (!w.node) return "stopped at " + src.getName() + ": cabled to " + w.arrived->getName();
      return "stopped at " + where(w, true) + ": leads to " + w.arrived->getName();
    case RouteEnd::kUnlinked:
      return "stopped at " + src.getName() + ": port has no link";
    case RouteEnd::kToSwitch:
      return "stopped at " + where(w, false) + ": delivered to the switch itself";
    case RouteEnd::kNoEntry:
      return "stopped at " + where(w, false) + ": no forwarding entry";
    case RouteEnd::kBadPort:
      return "stopped at " + where(w, false) + ": egress port " + std::to_string(w.port) +
             " does not exist";
    case RouteEnd::kNoLink:
      return "stopped at " + where(w, true) + ": port has no link";
    case RouteEnd::kLoop:
      return "stopped at " + where(w, true) + ": loop, enters " + w.into->getName() + " table " +
             std::to_string(w.into->owner->tableForIngress(w.into->portNumber)) + " again";
  }
  return "stopped";
}
