// The readers of the dump formats, returning the message instead of printing
// it (IBFabric's parse* members print it). Return true on success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fabric/fabric.h"

// The topology forms -l reads: OpenSM's LST, and the discovery diagnostic's
// plain form and ports report (ibnetdiscover, ibnetdiscover -p).
enum class TopologyForm { kLst, kPlain, kPorts };

// readLstFile (and parseSubnetLinks) take every TopologyForm, told apart by
// the content.
bool readLstFile(IBFabric& fabric, const std::string& fileName, std::string* err);
bool readPlftFile(IBFabric& fabric, const std::string& fileName, std::string* err);
//
// readFdbFile also takes a folder: its regular files, in byte-wise name order,
// are read as one dump. Lines of the dump that report a failed table read
// ("iberror:") are warnings "FILE:LINE: warning: ...": added to *warnings, or
// printed on standard error when warnings is null. A dump that fails to load
// leaves no forwarding table in the fabric.
bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err);
bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err,
                 std::vector<std::string>* warnings);
// How readFdbFile shares out the work; the result is the same for any values.
// A regular file of at least two pieces is cut into pieces of about
// pieceBytes at section headers, read on up to threads threads; a smaller
// file, or any file with one thread, is read in one piece.
struct FdbReadOptions {
  unsigned threads = 0;      // 0: one per core, at most 16
  uint64_t pieceBytes = 0;   // 0: 16 MiB
  size_t* pieces = nullptr;  // when set, receives the number of pieces read
};
bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err,
                 std::vector<std::string>* warnings, const FdbReadOptions& options);
