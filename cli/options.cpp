#include "cli/options.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "cli/console.h"
#include "cli/limits.h"
#include "cli/numbers.h"
#include "cli/version.h"

int verbose = 0;

namespace {

const char kUsageLine[] =
    "linkdeal [-h][-v][-V][-t][-n nflow-per-link][-m lmc][-d min-dist] -l lst -f fdbs [-P PLFT] "
    "-i grp-regexp -s max-group-srcs\n";

const char kSeparator[] =
    "--------------------------------------------------------------------------";

const option kLongOptions[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"trust-fdbs", no_argument, nullptr, 't'},
    {"max-hsd", required_argument, nullptr, 'n'},
    {"lmc", required_argument, nullptr, 'm'},
    {"lst", required_argument, nullptr, 'l'},
    {"fdbs", required_argument, nullptr, 'f'},
    {"PLFT", required_argument, nullptr, 'P'},
    {"grp-rex", required_argument, nullptr, 'i'},
    {"max-grp-src", required_argument, nullptr, 's'},
    {"min-dist", required_argument, nullptr, 'd'},
    {nullptr, 0, nullptr, 0},
};

CommandLine endWith(int status) {
  CommandLine result;
  result.status = status;
  return result;
}

}  // namespace

void show_usage() {
  printLine("Usage:");
  std::fputs(kUsageLine, stdout);
  std::fflush(stdout);
}

void show_help() {
  // Buffered piece by piece; one flush at the end.
  static const char* const kPieces[] = {
      "   GENERATE A PERMUTATION MEETING GIVEN OVER-SUBSCRIPTION\n",
      "\nUSAGE: \n\n",
      kUsageLine,
      "\n",
      "DESCRIPTION:\n",
      "Given exstracted lst/fdb, split the nodes into groups using the provided \n",
      "regular expression. Find a permutation (source destination pairs) \n",
      "where the source and destination are from different group.\n",
      "Such that the maximal number of flows through any link does not excceed the\n",
      "nflow-per-link.\n\n",
      "ARGUMENTS:\n",
      "-l <lst> : meshkeep-subnet.lst or linkprobe.lst file describing the network\n",
      "-f <fdbs> : the meshkeep.fdbs or linkprobe.fdbs file\n",
      "-P <PLFT> : a file holding private LFT mapping on switch.\n",
      "-i group-regexp: a regular expression to extract the group from a host name.\n",
      "   otherwise as regexp. A file should include <name>/P<port-num> or PortGUID.\n",
      "-s max-grp-srcs: maximal number of srcs to take from a group.\n\n",
      "OPTIONS:\n",
      "-d min-dist: accept only flows of minimal hop distance of min-dist (default 0).\n",
      "-n nflow-per-link: The maximal number of flows per link (default 1).\n",
      "-o out-file: output pairs file name (default pairs.txt)\n",
      "-t : trust the FDBs and skip verification of all CA to CA paths\n",
      "-m lmc : assume the network uses the given LMC value. I.e. each node is \n",
      "   assigned 2^LMC consequative LIDs.\n",
      "-v : verbose mode - prepare for being flooded... \n",
      "-h: this message\n",
      "-V|--version: Prints the version of the tool\n",
  };
  for (const char* piece : kPieces) std::fputs(piece, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

bool takeFabricOption(int c, const char* arg, RunOptions& o) {
  switch (c) {
    case 't':
      o.trustFdbs = true;
      printLine("-I- Trust FDBs and skip CA to CA verification");
      return true;
    case 'l':
      o.lstFile = arg;
      printLine("-I- LST file:" + o.lstFile);
      return true;
    case 'f':
      o.fdbsFile = arg;
      printLine("-I- FDBs file:" + o.fdbsFile);
      return true;
    case 'P':
      o.plftFile = arg;
      printLine("-I- PLFT File: " + o.plftFile);
      return true;
    case 'i':
      o.groupRegex = arg;
      printLine("-I- Groups Regular Expression:" + o.groupRegex);
      return true;
  }
  return false;
}

CommandLine parseCommandLine(int argc, char* argv[]) {
  CommandLine result;
  RunOptions& o = result.options;
  printLine(kSeparator);

  optind = 0;  // full rescan, also when called more than once in a process
  for (;;) {
    int c = getopt_long(argc, argv, "hVvto:n:l:f:P:i:m:s:d:", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'v':
        verbose = 1;
        printLine("-I- Verbose Mode");
        break;
      case 'h':
        show_help();
        return endWith(0);
      case 'V':
        printVersion("linkdeal");
        return endWith(0);
      case 't':
      case 'l':
      case 'f':
      case 'P':
      case 'i':
        takeFabricOption(c, optarg, o);
        break;
      case 'n':
        o.maxFlowsPerLink = static_cast<uint32_t>(readLinkdealNumber(optarg));
        printLine("-I- Max Number of Flows per Link: " + std::to_string(o.maxFlowsPerLink));
        break;
      case 'm':
        o.lmc = static_cast<uint16_t>(readLinkdealNumber(optarg));
        printLine("-I- LMC: " + std::to_string(o.lmc));
        break;
      case 's':
        o.maxGroupSrcs = static_cast<uint32_t>(readLinkdealNumber(optarg));
        printLine("-I- Max sources from each group: " + std::to_string(o.maxGroupSrcs));
        break;
      case 'd':
        o.minDist = static_cast<uint32_t>(readLinkdealNumber(optarg));
        printLine("-I- Minimum path distance is: " + std::to_string(o.minDist) + " hops");
        break;
      case 'o':
        o.outFile = optarg;
        break;
      default:  // getopt_long has already said what was wrong on stderr
        show_usage();
        return endWith(1);
    }
  }
  printLine(kSeparator);

  bool rejected = false;
  if (o.fdbsFile.empty()) {
    printLine("-E- Missing -f FDBs file argument");
    rejected = true;
  }
  if (o.lstFile.empty()) {
    printLine("-E- Missing -l LST file argument");
    rejected = true;
  }
  if (o.groupRegex.empty()) {
    printLine("-E- Missing -i Regular Expression argument");
    rejected = true;
  }
  // No subnet can use a larger LMC, and from 16 on the per-port LID ranges
  // of the search could not even be counted in 16 bits.
  if (o.lmc > kMaxLmc) {
    printLine("-E- Invalid -m LMC value: " + std::to_string(o.lmc) + " (must be 0 to " +
              std::to_string(kMaxLmc) + ")");
    rejected = true;
  }
  if (rejected) {
    show_usage();
    return endWith(1);
  }
  result.run = true;
  return result;
}
