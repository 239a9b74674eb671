#include "fabric/guid_index.h"

#include <random>

namespace {

uint64_t drawSeed() {
  std::random_device device;
  return uint64_t{device()} << 32 ^ device();
}

const uint64_t kSeed = drawSeed();

}  // namespace

uint64_t guidHash(uint64_t key) {
  // The finalizer of MurmurHash3 over the seeded key, then the seed again so
  // that the top bits the tables use are not a fixed function of key ^ seed.
  uint64_t h = key ^ kSeed;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return (h + kSeed) * 0x9E3779B97F4A7C15ull;
}
