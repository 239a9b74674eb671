// The switch headers that the forwarding-table and private-table dumps
// share, and the lookup of the switch a header names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fabric/guid_index.h"

class IBFabric;
struct IBNode;

struct SwitchHeader {
  uint64_t guid = 0;
  int table = 0;
};

// "any text, then 'Switch 0x' GUID", optionally followed by " PLFT N" when
// allowPlft. Returns false with *problem empty when the line has no
// "Switch 0x" at all, or with *problem set when it has one but is malformed.
bool parseSwitchHeader(std::string_view line, bool allowPlft, SwitchHeader* h,
                       std::string* problem);

// "Unicast lids [...": the switch is the GUID after the first " guid 0x".
// Call only for lines starting with "Unicast lids [".
bool parseUnicastHeader(std::string_view line, SwitchHeader* h, std::string* problem);

// Every node of the fabric by NodeGUID.
GuidMap<IBNode*> nodesByGuid(IBFabric& fabric);

// The switch with this NodeGUID; false with *problem naming what is wrong
// (unknown GUID, or not a switch).
bool lookUpSwitch(const GuidMap<IBNode*>& byGuid, uint64_t guid, IBNode** sw, std::string* problem);
