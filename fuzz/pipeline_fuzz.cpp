// Fuzzes a whole run on a fixed topology: the options, the forwarding tables
// and the private maps come from the input, laid out as
//   6 option bytes | FDB text | NUL | PLFT text (optional)
// A completed run's pairs file must hold the header and one "SRC DST" line per
// pair, no destination twice.
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "fuzz/fuzz_files.h"
#include "pairs/pairs_file.h"
#include "run/run.h"
#include "search/pairing.h"

namespace {

const char* const kExpressions[] = {"^r([0-9]+)n", "^r0([12])", "n(0[12])",
                                    "HCA",         "^(r01)?",   "leaf([0-9]+)"};

std::string readAll(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The run talks on standard output; keep the fuzzer's terminal readable.
  if (!std::freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const std::string& dir = fuzzDir();
  RunOptions options;
  options.maxFlowsPerLink = data[0] % 4;
  options.minDist = data[1] % 6;
  options.maxGroupSrcs = data[2] % 4;
  options.lmc = data[3] % 3;
  options.trustFdbs = data[4] & 1;
  verbose = (data[4] >> 1) & 1;
  options.groupRegex = kExpressions[data[5] % (sizeof kExpressions / sizeof *kExpressions)];
  data += 6;
  size -= 6;

  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  size_t fdbSize = nul ? static_cast<size_t>(nul - data) : size;
  options.lstFile = dir + "/fabric.lst";
  options.fdbsFile = writeFuzzFile("pipeline.fdbs", data, fdbSize);
  if (nul) options.plftFile = writeFuzzFile("pipeline.plft", nul + 1, size - fdbSize - 1);
  options.outFile = dir + "/pipeline.pairs";
  std::remove(options.outFile.c_str());

  if (runLinkdeal(options) != 0) return 0;

  // A completed run wrote a header and lines "SRC DST" with distinct DSTs.
  std::string pairs = readAll(options.outFile);
  std::string_view rest = pairs;
  const std::string header = std::string(kPairsFileHeader) + "STAGE 1\n";
  if (rest.substr(0, header.size()) != header) abort();
  rest.remove_prefix(header.size());
  std::set<std::string_view> dsts;
  while (!rest.empty()) {
    size_t eol = rest.find('\n');
    if (eol == std::string_view::npos) abort();
    std::string_view line = rest.substr(0, eol);
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) abort();
    if (!dsts.insert(line.substr(blank + 1)).second) abort();
    rest.remove_prefix(eol + 1);
  }
  return 0;
}
