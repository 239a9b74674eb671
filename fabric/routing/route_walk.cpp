#include "fabric/routing/route_walk.h"

RouteWalker::RouteWalker(const IBFabric& fabric)
    : firstNode_(fabric.nodes().data()), tablesOnPath_(fabric.nodes().size(), 0) {}

RouteWalk RouteWalker::walk(const IBPort& src, uint16_t dlid, std::vector<const IBPort*>* egress) {
  if (egress) egress->clear();
  RouteWalk w;
  const IBPort* in = src.remote;
  if (!in) return w;  // kUnlinked

  for (;;) {
    const IBNode& sw = *in->owner;
    if (!sw.isSwitch()) {
      w.end = RouteEnd::kArrived;
      w.arrived = in;
      break;
    }
    // A (switch, table) state seen before on this walk repeats forever. It is
    // reported at the step that closed the loop, which w still describes.
    uint8_t table = sw.tableForIngress(in->portNumber);
    uint16_t& used = tablesOnPath_[static_cast<size_t>(&sw - firstNode_)];
    uint16_t bit = static_cast<uint16_t>(1u << (table & 15));
    if (used & bit) {
      w.end = RouteEnd::kLoop;
      w.into = in;
      break;
    }
    if (used == 0) touched_.push_back(static_cast<uint32_t>(&sw - firstNode_));
    used |= bit;
    w.node = &sw;
    w.table = table;
    w.port = 0;

    uint8_t port = sw.getLFTPortForLid(dlid, table);
    if (port == kLftNoEntry) {
      w.end = RouteEnd::kNoEntry;
      break;
    }
    w.port = port;
    if (port == 0) {
      w.end = RouteEnd::kToSwitch;
      break;
    }
    if (port > sw.portCount) {
      w.end = RouteEnd::kBadPort;
      break;
    }
    const IBPort* out = sw.getPort(port);
    if (!out || !out->remote) {
      w.end = RouteEnd::kNoLink;
      break;
    }
    if (egress) egress->push_back(out);
    in = out->remote;
  }

  for (uint32_t n : touched_) tablesOnPath_[n] = 0;
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
