// Links running below the fabric's usual width or speed, from the rates the
// topology records.
#pragma once

#include <cstdint>
#include <vector>

#include "fabric/fabric.h"

enum class LinkKind : uint8_t { kHostSwitch, kSwitchSwitch, kOther };

const char* linkKindName(LinkKind kind);  // "host-switch", "switch-switch", "other"

struct UsualRate {
  uint8_t width = 0;   // most common recorded width among links of the kind; 0: none recorded
  uint32_t speed = 0;  // most common recorded speed; 0: none recorded
  size_t links = 0;    // links of the kind
};

struct DegradedLink {
  const IBPort* a;  // the end that comes first in the fabric
  const IBPort* b;
  LinkKind kind;
  uint8_t width;
  uint32_t speed;
};

struct DegradedReport {
  bool widthRecorded = false;  // some link records its width
  bool speedRecorded = false;
  UsualRate usual[3];  // by LinkKind
  std::vector<DegradedLink> links;
};

// Every link whose recorded width or speed is below the most common one among
// links of its kind. A value the topology does not record is never below.
DegradedReport findDegradedLinks(const IBFabric& fabric);

// The rate a link carries data at, in Mb/s, from its width and per-lane speed;
// 0 when either is unknown. The rates up to 10000 per lane use 8b/10b coding
// (FDR10, recorded alike, is treated the same: its rate is then underrated).
double linkDataRate(const IBPort& port);
