#include "check/degraded.h"

#include <map>

const char* linkKindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::kHostSwitch:
      return "host-switch";
    case LinkKind::kSwitchSwitch:
      return "switch-switch";
    case LinkKind::kOther:
      break;
  }
  return "other";
}

namespace {

LinkKind kindOf(const IBPort& a, const IBPort& b) {
  bool sa = a.owner->isSwitch(), sb = b.owner->isSwitch();
  if (sa && sb) return LinkKind::kSwitchSwitch;
  if (sa != sb) return LinkKind::kHostSwitch;
  return LinkKind::kOther;
}

// The most common key; the larger one on a tie.
template <typename T>
T mostCommon(const std::map<T, size_t>& counts) {
  T best = 0;
  size_t bestCount = 0;
  for (const auto& [value, count] : counts)
    if (count >= bestCount) {
      best = value;
      bestCount = count;
    }
  return best;
}

}  // namespace

DegradedReport findDegradedLinks(const IBFabric& fabric) {
  DegradedReport report;
  std::map<uint8_t, size_t> widths[3];
  std::map<uint32_t, size_t> speeds[3];
  auto eachLink = [&](auto&& visit) {
    for (const IBPort& port : fabric.ports())
      if (port.remote && &port < port.remote) visit(port, *port.remote, kindOf(port, *port.remote));
  };
  eachLink([&](const IBPort& a, const IBPort&, LinkKind kind) {
    int k = static_cast<int>(kind);
    ++report.usual[k].links;
    if (a.width) ++widths[k][a.width];
    if (a.speed) ++speeds[k][a.speed];
  });
  for (int k = 0; k < 3; ++k) {
    report.usual[k].width = mostCommon(widths[k]);
    report.usual[k].speed = mostCommon(speeds[k]);
    report.widthRecorded |= report.usual[k].width != 0;
    report.speedRecorded |= report.usual[k].speed != 0;
  }
  eachLink([&](const IBPort& a, const IBPort& b, LinkKind kind) {
    const UsualRate& usual = report.usual[static_cast<int>(kind)];
    bool narrow = a.width != 0 && a.width < usual.width;
    bool slow = a.speed != 0 && a.speed < usual.speed;
    if (narrow || slow) report.links.push_back({&a, &b, kind, a.width, a.speed});
  });
  return report;
}

double linkDataRate(const IBPort& port) {
  if (port.width == 0 || port.speed == 0) return 0;
  double coding = port.speed <= 10000 ? 0.8 : 1.0;
  return static_cast<double>(port.width) * port.speed * coding;
}
