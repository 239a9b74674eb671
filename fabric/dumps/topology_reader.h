// The topology forms that -l accepts, and how the LST reader hands a file in
// one of the discovery diagnostic's forms to their reader.
#pragma once

#include <string>
#include <string_view>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"

class LineReader;

// The form of a topology file, told by its first line that is not blank, a
// comment or a "DR path" progress line: "{" an LST, a key=value line or a
// Switch/Ca/Rt record the discovery diagnostic's plain form, "CA", "SW" or
// "RT" and a number its ports report. Anything else is taken for an LST (and
// refused by its reader).
TopologyForm topologyFormOf(std::string_view line);

// Reads a plain form or ports report whose first significant line, first,
// the reader has just returned.
bool readIbnetdiscover(LineReader& in, std::string_view first, TopologyForm form, IBFabric& fabric,
                       std::string* err);
