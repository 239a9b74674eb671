#include "check/options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/console.h"
#include "cli/limits.h"
#include "cli/numbers.h"
#include "cli/version.h"

namespace {

const char kHelp[] =
    "Usage: linkdeal-check -l LST -f FDBS [options] PAIRS...\n"
    "\n"
    "Checks pair lists on the paths the switches' forwarding tables give: the\n"
    "load of every switch egress port per stage, broken paths, hosts that send\n"
    "or receive twice; reports links the topology records below the usual width\n"
    "or speed; and, given measured bandwidths, the links that best explain the\n"
    "slow pairs.\n"
    "\n"
    "PAIRS are pairs files as linkdeal and linkdeal-plan write them (STAGE k\n"
    "sections of 'SRC DST [0xLID]' lines) or plain 'SRC DST' lists (stage 1).\n"
    "Pairs of one stage, from every file, run at the same time. An endpoint is\n"
    "a port name (NODE/P<n>, a port whenever NODE is a node, even if a node is\n"
    "named NODE/P<n>), a node name (its port 1) or a port GUID (0x...).\n"
    "\n"
    "Fabric (read as linkdeal reads them):\n"
    "  -l, --lst FILE          topology: LST or ibnetdiscover output (required)\n"
    "  -f, --fdbs FILE|DIR     switch forwarding tables (required with PAIRS)\n"
    "  -P, --PLFT FILE         private forwarding-table map of the switches\n"
    "  -m, --lmc LMC           each host port owns 2^LMC LIDs, 0 to 7 (default 0)\n"
    "\n"
    "Check:\n"
    "  -n, --max-hsd N         most pairs one switch egress port may carry (default 1)\n"
    "      --any-lid           for each pair without a fixed LID, in file order, use\n"
    "                          the first destination LID whose path stays within N\n"
    "                          given the pairs before it (default: the base LID); the\n"
    "                          chosen LIDs are listed\n"
    "      --busiest K         list the K busiest ports of each stage with their\n"
    "                          pairs; 0 lists every loaded port (default 10)\n"
    "\n"
    "Test results:\n"
    "  -r, --results FILE      'SRC DST VALUE' lines, optionally under STAGE k\n"
    "                          lines: the bandwidth measured for each pair\n"
    "      --slow-below X      a pair is slow below X (default: below 90% of its\n"
    "                          stage's median, or of the slowest link rate on its\n"
    "                          path where the topology records rates)\n"
    "      --unit U            unit of the values, for the link-rate rule: Gb/s,\n"
    "                          Mb/s, GB/s or MB/s (default Gb/s)\n"
    "\n"
    "Output:\n"
    "      --json              one JSON document instead of text\n"
    "      --html FILE         also write the report as one self-contained HTML\n"
    "                          page: the fabric by tier with each link's load per\n"
    "                          stage, the slow pairs and the suspects\n"
    "  -h, --help              this text\n"
    "  -V, --version           the version\n"
    "\n"
    "Exit status: 0 when every stage holds and no measured pair is slow, 1 when\n"
    "some stage has a port above N, a broken path or a host sending or receiving\n"
    "twice, 2 when the check could not run (bad usage, an input file that cannot\n"
    "be read, output not written), 3 when every stage holds but some pair is slow.\n";

enum LongOnly {
  kAnyLid = 256,
  kBusiest,
  kSlowBelow,
  kUnit,
  kJson,
  kHtml,
  kHostRate,
  kFollowUp,
  kGroupBy,
  kPredict,
  kDegrade
};

const option kOptions[] = {
    {"lst", required_argument, nullptr, 'l'},
    {"fdbs", required_argument, nullptr, 'f'},
    {"PLFT", required_argument, nullptr, 'P'},
    {"lmc", required_argument, nullptr, 'm'},
    {"max-hsd", required_argument, nullptr, 'n'},
    {"any-lid", no_argument, nullptr, kAnyLid},
    {"busiest", required_argument, nullptr, kBusiest},
    {"results", required_argument, nullptr, 'r'},
    {"slow-below", required_argument, nullptr, kSlowBelow},
    {"unit", required_argument, nullptr, kUnit},
    {"json", no_argument, nullptr, kJson},
    {"html", required_argument, nullptr, kHtml},
    {"host-rate", required_argument, nullptr, kHostRate},
    {"follow-up", required_argument, nullptr, kFollowUp},
    {"grp-rex", required_argument, nullptr, 'i'},
    {"group-by", required_argument, nullptr, kGroupBy},
    {"min-dist", required_argument, nullptr, 'd'},
    {"predict", required_argument, nullptr, kPredict},
    {"degrade", required_argument, nullptr, kDegrade},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

CheckCommandLine endWith(int status) {
  CheckCommandLine c;
  c.status = status;
  return c;
}

CheckCommandLine usageError(const std::string& message) {
  printUsageError("linkdeal-check", message);
  return endWith(kCheckUsage);
}

// A decimal of at least 0, as from_chars reads it.
bool readRate(const char* text, double* x) {
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, *x);
  return ec == std::errc() && p == end && std::isfinite(*x) && *x >= 0;
}

}  // namespace

CheckCommandLine parseCheckCommandLine(int argc, char* argv[]) {
  CheckCommandLine result;
  CheckOptions& o = result.options;
  opterr = 0;  // the messages below name the program and the fix
  optind = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hVl:f:P:m:n:r:i:d:", kOptions, nullptr);
    if (c == -1) break;
    uint64_t n;
    switch (c) {
      case 'h':
        std::fputs(kHelp, stdout);
        std::fflush(stdout);
        return endWith(std::ferror(stdout) ? kCheckUsage : kCheckHolds);
      case 'V':
        printVersion("linkdeal-check");
        return endWith(kCheckHolds);
      case 'l':
        o.lstFile = optarg;
        break;
      case 'f':
        o.fdbsFile = optarg;
        break;
      case 'P':
        o.plftFile = optarg;
        break;
      case 'm':
        if (!readWholeNumber(optarg, kMaxLmc, &n))
          return usageError("-m needs an LMC from 0 to " + std::to_string(kMaxLmc) + ", not '" +
                            optarg + "'");
        o.limits.lmc = static_cast<uint16_t>(n);
        break;
      case 'n':
        if (!readWholeNumber(optarg, UINT32_MAX, &n) || n == 0)
          return usageError(std::string("-n needs a number of pairs from 1 up, not '") + optarg +
                            "'");
        o.limits.maxFlows = static_cast<uint32_t>(n);
        break;
      case kAnyLid:
        o.limits.anyLid = true;
        break;
      case kBusiest:
        if (!readWholeNumber(optarg, SIZE_MAX, &n))
          return usageError(std::string("--busiest needs a number, not '") + optarg + "'");
        o.limits.busiest = static_cast<size_t>(n);
        break;
      case 'r':
        o.resultsFile = optarg;
        break;
      case kSlowBelow: {
        double x;
        if (!readRate(optarg, &x))
          return usageError(std::string("--slow-below needs a number, not '") + optarg + "'");
        o.slowRule.given = true;
        o.slowRule.slowBelow = x;
        break;
      }
      case kHostRate:
        if (!readRate(optarg, &o.slowRule.hostRate) || o.slowRule.hostRate == 0)
          return usageError(std::string("--host-rate needs a rate above 0, not '") + optarg + "'");
        break;
      case kFollowUp:
        o.followUpFile = optarg;
        break;
      case 'i':
        o.groupExpression = optarg;
        break;
      case kGroupBy:
        if (std::strcmp(optarg, "leaf") != 0)
          return usageError(std::string("--group-by takes leaf, not '") + optarg + "'");
        o.groupByLeaf = true;
        break;
      case 'd':
        if (!readWholeNumber(optarg, UINT32_MAX, &n))
          return usageError(std::string("-d needs a number of links, not '") + optarg + "'");
        o.minDist = static_cast<uint32_t>(n);
        break;
      case kPredict:
        o.predictFile = optarg;
        break;
      case kDegrade:
        o.degrade.push_back(optarg);
        break;
      case kUnit: {
        std::string u = optarg;
        if (u == "Gb/s") {
          o.slowRule.unitPerMbps = 0.001;
        } else if (u == "Mb/s") {
          o.slowRule.unitPerMbps = 1;
        } else if (u == "GB/s") {
          o.slowRule.unitPerMbps = 0.001 / 8;
        } else if (u == "MB/s") {
          o.slowRule.unitPerMbps = 1.0 / 8;
        } else {
          return usageError("--unit takes Gb/s, Mb/s, GB/s or MB/s, not '" + u + "'");
        }
        break;
      }
      case kJson:
        o.json = true;
        break;
      case kHtml:
        o.htmlFile = optarg;
        break;
      case ':':
        return usageError(std::string("option '") + argv[optind - 1] + "' needs an argument");
      default:
        if (optopt > 0 && optopt < 256)
          return usageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  for (int i = optind; i < argc; ++i) o.pairsFiles.push_back(argv[i]);

  if (o.lstFile.empty()) return usageError("-l LST is required");
  if (!o.pairsFiles.empty() && o.fdbsFile.empty())
    return usageError("-f FDBS is required to check pairs");
  if (!o.resultsFile.empty() && o.pairsFiles.empty())
    return usageError("--results needs the pairs the results were measured on");
  if (!o.followUpFile.empty() && o.resultsFile.empty())
    return usageError("--follow-up needs --results: it splits the suspects they give");
  if (!o.groupExpression.empty() && o.groupByLeaf)
    return usageError("-i and --group-by leaf are two ways to group: give one");
  if (!o.degrade.empty() && o.predictFile.empty())
    return usageError("--degrade changes what --predict writes: give --predict");
  if (!o.predictFile.empty() && o.pairsFiles.empty())
    return usageError("--predict needs the pairs to predict");
  if (o.predictFile == "-" && (o.json || !o.htmlFile.empty() || !o.followUpFile.empty()))
    return usageError("--predict - writes the predicted results instead of the report");
  result.run = true;
  return result;
}
