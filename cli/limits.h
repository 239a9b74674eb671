// Limits the programs' command lines share.
#pragma once

#include <cstdint>

// The LMC field of InfiniBand is three bits wide: a port owns at most 2^7 LIDs.
constexpr uint16_t kMaxLmc = 7;
